#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "common/atomic_file.h"
#include "common/bytes.h"
#include "common/format.h"
#include "common/test_folder.h"

namespace korvad {
namespace {

std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class AtomicSave : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_FALSE(folder.path().empty()); }
    TestFolder folder{"korvad-common"};
    const std::string dir = folder.path();
};

TEST(Format, FormatsAndCutsAtTheBufferSize) {
    EXPECT_EQ(format_text("Good: %ld, Upl: %ld", 3L, 4L), "Good: 3, Upl: 4");
    EXPECT_EQ(format_text("%s", std::string(1000, 'x').c_str()).size(), 1000u);

    char buf[8];
    EXPECT_EQ(format_into(buf, sizeof buf, "%s", "abcdefghij"), 7u);
    EXPECT_STREQ(buf, "abcdefg");
    EXPECT_EQ(format_into(buf, sizeof buf, "%d", 42), 2u);
    EXPECT_STREQ(buf, "42");
}

TEST(Bytes, LittleEndianByteByByte) {
    unsigned char b[4];
    put_le32(b, 0x01020304u);
    EXPECT_EQ(b[0], 4);
    EXPECT_EQ(b[3], 1);
    EXPECT_EQ(get_le32s(b), 0x01020304);
    put_le32(b, static_cast<std::uint32_t>(-2));
    EXPECT_EQ(get_le32s(b), -2);
}

TEST_F(AtomicSave, SaveReplacesTheFileOnlyWhenEverythingWasWritten) {
    std::string path = dir + "/data.db";
    ASSERT_TRUE(save_atomically(path, [](std::FILE* f) { return std::fputs("old", f) >= 0; }));
    EXPECT_EQ(read_all(path), "old");

    // A writer that reports failure half-way leaves the old file and no temporary.
    EXPECT_FALSE(save_atomically(path, [](std::FILE* f) {
        std::fputs("partial", f);
        return false;
    }));
    EXPECT_EQ(read_all(path), "old");
    EXPECT_EQ(folder.entry_count(), 1u);

    ASSERT_TRUE(save_atomically(path, [](std::FILE* f) { return std::fputs("new", f) >= 0; }));
    EXPECT_EQ(read_all(path), "new");
}

TEST_F(AtomicSave, SaveReplacesAPlantedLinkInsteadOfWritingThroughIt) {
    std::string victim = dir + "/victim";
    std::string path = dir + "/control";
    { std::ofstream(victim) << "precious"; }
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    ASSERT_TRUE(save_atomically(path, [](std::FILE* f) { return std::fputs("1234", f) >= 0; }));
    EXPECT_EQ(read_all(victim), "precious");
    struct stat st;
    ASSERT_EQ(lstat(path.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(read_all(path), "1234");
}

TEST_F(AtomicSave, SaveIntoAMissingFolderFails) {
    EXPECT_FALSE(save_atomically(dir + "/no/such/file", [](std::FILE*) { return true; }));
}

}  // namespace
}  // namespace korvad
