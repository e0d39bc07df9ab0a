#include "control/queue/control_file.h"

#include "common/test_folder.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace korvad {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

class ControlFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.path().empty());
        path_ = (dir_ / ".korvad").string();
    }

    void put(const fs::path& where, const Bytes& bytes) {
        std::ofstream out(where, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good());
    }
    Bytes contents(const fs::path& where) {
        std::ifstream in(where, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<std::string> folder_listing() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir_)) {
            names.push_back(entry.path().filename().string());
        }
        return names;
    }

    TestFolder folder_{"korvad-control"};
    const fs::path dir_ = folder_.path();
    std::string path_;
};

TEST_F(ControlFileTest, WritesTheIdAsFourLittleEndianBytes) {
    ASSERT_TRUE(write_control_file(0x01020304, path_.c_str()));
    EXPECT_EQ(contents(path_), (Bytes{0x04, 0x03, 0x02, 0x01}));

    // A later start replaces it.
    ASSERT_TRUE(write_control_file(-2, path_.c_str()));
    EXPECT_EQ(contents(path_), (Bytes{0xfe, 0xff, 0xff, 0xff}));
    // No temporary file is left beside it.
    EXPECT_EQ(folder_listing(), std::vector<std::string>{".korvad"});
}

TEST_F(ControlFileTest, ReadsHandWrittenIds) {
    put(path_, {0x2a, 0x00, 0x00, 0x00});
    EXPECT_EQ(read_control_file(path_.c_str()), 42);
    put(path_, {0x00, 0x80, 0x01, 0x00});
    EXPECT_EQ(read_control_file(path_.c_str()), 0x018000);
    put(path_, {0x00, 0x00, 0x00, 0x80});
    EXPECT_EQ(read_control_file(path_.c_str()), INT_MIN);
}

TEST_F(ControlFileTest, RejectsAnythingButAFileOfFourBytes) {
    EXPECT_EQ(read_control_file(path_.c_str()), std::nullopt) << "missing";
    for (const Bytes& bytes :
         {Bytes{}, Bytes{0x2a, 0x00, 0x00}, Bytes{0x2a, 0x00, 0x00, 0x00, 0x00}}) {
        put(path_, bytes);
        EXPECT_EQ(read_control_file(path_.c_str()), std::nullopt) << bytes.size() << " bytes";
    }
    fs::remove(path_);

    fs::create_directory(path_);
    EXPECT_EQ(read_control_file(path_.c_str()), std::nullopt) << "folder";
    fs::remove(path_);

    // A FIFO would block an ordinary open until someone writes to it.
    ASSERT_EQ(mkfifo(path_.c_str(), 0600), 0);
    EXPECT_EQ(read_control_file(path_.c_str()), std::nullopt) << "fifo";
    fs::remove(path_);

    // A link, even to a good file, is not the decoder's.
    put(dir_ / "elsewhere", {0x2a, 0x00, 0x00, 0x00});
    fs::create_symlink(dir_ / "elsewhere", path_);
    EXPECT_EQ(read_control_file(path_.c_str()), std::nullopt) << "link";
}

TEST_F(ControlFileTest, WriterReplacesAPlantedLinkAndLeavesItsTargetAlone) {
    const fs::path victim = dir_ / "victim";
    const Bytes precious = {'p', 'r', 'e', 'c', 'i', 'o', 'u', 's', '\n'};
    put(victim, precious);
    fs::create_symlink(victim, path_);

    ASSERT_TRUE(write_control_file(7, path_.c_str()));
    EXPECT_EQ(contents(victim), precious);
    EXPECT_FALSE(fs::is_symlink(fs::symlink_status(path_)));
    EXPECT_EQ(contents(path_), (Bytes{0x07, 0x00, 0x00, 0x00}));

    // A dangling link does not get its target created.
    fs::remove(path_);
    const fs::path nowhere = dir_ / "created-through-link";
    fs::create_symlink(nowhere, path_);
    ASSERT_TRUE(write_control_file(8, path_.c_str()));
    EXPECT_FALSE(fs::exists(fs::symlink_status(nowhere)));
    EXPECT_EQ(contents(path_), (Bytes{0x08, 0x00, 0x00, 0x00}));
}

TEST_F(ControlFileTest, WriterDoesNotWriteThroughAPlantedHardLink) {
    const fs::path victim = dir_ / "victim";
    const Bytes precious = {'k', 'e', 'e', 'p'};
    put(victim, precious);
    fs::create_hard_link(victim, path_);

    ASSERT_TRUE(write_control_file(9, path_.c_str()));
    EXPECT_EQ(contents(victim), precious);
    EXPECT_EQ(contents(path_), (Bytes{0x09, 0x00, 0x00, 0x00}));
}

TEST_F(ControlFileTest, FileIsReadableByAllAndWritableByTheOwnerOnly) {
    mode_t old_mask = umask(0);
    bool written = write_control_file(1, path_.c_str());
    umask(old_mask);
    ASSERT_TRUE(written);
    struct stat info {};
    ASSERT_EQ(lstat(path_.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

}  // namespace
}  // namespace korvad
