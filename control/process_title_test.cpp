// The bounds of the process title: it is written over memory the C library
// and the kernel hand over, so nothing beyond the measured area may change.

#include "control/process_title.h"

#include <gtest/gtest.h>

#include <cstring>

namespace korvad {
namespace {

// A fake argument and environment block: "ab" "cdef" in argv, "X=1" in the
// environment, all contiguous, followed by guard bytes that must survive.
struct FakeArea {
    char bytes[24];
    char* argv[3];
    char* envp[2];
    FakeArea() {
        std::memcpy(bytes, "ab\0cdef\0X=1\0GGGGGGGGGGGG", sizeof bytes);
        argv[0] = bytes;
        argv[1] = bytes + 3;
        argv[2] = nullptr;
        envp[0] = bytes + 8;
        envp[1] = nullptr;
    }
};

TEST(ProcessTitle, AreaCoversContiguousArgumentsAndEnvironment) {
    FakeArea area;
    ProcessTitle title = measure_title_area(2, area.argv, area.envp);
    EXPECT_EQ(title.start, area.bytes);
    EXPECT_EQ(title.end, area.bytes + 11);  // the NUL after "X=1"

    // An argument elsewhere in memory ends the area at the one before it.
    char elsewhere[] = "zz";
    area.argv[1] = elsewhere;
    title = measure_title_area(2, area.argv, area.envp);
    EXPECT_EQ(title.end, area.bytes + 2);

    EXPECT_EQ(measure_title_area(0, area.argv, area.envp).start, nullptr);
}

TEST(ProcessTitle, LongTitleIsCutAndNothingBeyondTheAreaChanges) {
    FakeArea area;
    ProcessTitle title = measure_title_area(2, area.argv, area.envp);
    process_title_set(title, "%s ACARS decoder", "korvad");
    // 12 area bytes, usable 9 with the NUL: 8 title characters, the rest zero.
    const char expected[24] = {'k', 'o', 'r', 'v', 'a', 'd', ' ', 'A', 0,   0,   0,   0,
                               'G', 'G', 'G', 'G', 'G', 'G', 'G', 'G', 'G', 'G', 'G', 'G'};
    EXPECT_EQ(std::memcmp(area.bytes, expected, sizeof expected), 0);
    EXPECT_EQ(area.argv[1], nullptr);
    EXPECT_STREQ(area.argv[0], "korvad A");
}

TEST(ProcessTitle, ShortTitleZeroesTheOldStrings) {
    FakeArea area;
    ProcessTitle title = measure_title_area(2, area.argv, area.envp);
    process_title_set(title, "%s", "ko");
    const char expected[24] = {'k', 'o', 0,   0,   0,   0,   0,   0,   0,   0,   0,   0,
                               'G', 'G', 'G', 'G', 'G', 'G', 'G', 'G', 'G', 'G', 'G', 'G'};
    EXPECT_EQ(std::memcmp(area.bytes, expected, sizeof expected), 0);
}

TEST(ProcessTitle, AreaTooSmallOrMissingIsLeftAlone) {
    char bytes[] = "a\0GG";
    char* argv[] = {bytes, nullptr};
    ProcessTitle title = measure_title_area(1, argv, nullptr);
    process_title_set(title, "%s ACARS decoder", "korvad");
    EXPECT_EQ(std::memcmp(bytes, "a\0GG", 5), 0);
    EXPECT_EQ(argv[0], bytes);

    ProcessTitle none;
    process_title_set(none, "%s", "nothing to write");  // must not crash
}

}  // namespace
}  // namespace korvad
