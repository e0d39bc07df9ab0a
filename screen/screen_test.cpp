// Screen routines that need no terminal: the recorder, daemon mode (nothing
// drawn), the drawing forms of control bytes and the terminal
// title. What the screen shows is tested in a real
// pseudo-terminal by screen_terminal_test.py.

#include "screen/screen.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace korvad {
namespace {

std::string form_of(unsigned char c) {
    char out[5];
    std::size_t n = visible_form(c, out);
    EXPECT_EQ(n, std::strlen(out));
    return out;
}

TEST(VisibleForm, ControlAndHighBytesNeverReachTheTerminalRaw) {
    EXPECT_EQ(form_of('A'), "A");
    EXPECT_EQ(form_of(' '), " ");
    EXPECT_EQ(form_of('~'), "~");
    EXPECT_EQ(form_of(0x1b), "^[");  // ESC: the start of every escape sequence
    EXPECT_EQ(form_of(0x07), "^G");
    EXPECT_EQ(form_of(0x01), "^A");
    EXPECT_EQ(form_of(0x08), "^H");  // backspace would move the cursor
    EXPECT_EQ(form_of(0x7f), "^?");
    EXPECT_EQ(form_of(0x9b), "M-^[");  // C1 CSI
    EXPECT_EQ(form_of(0x8d), "M-^M");
    EXPECT_EQ(form_of(0xe9), "M-i");
    EXPECT_EQ(form_of(0xff), "M-^?");
    EXPECT_EQ(form_of('\t'), " ");
    EXPECT_EQ(form_of('\r'), "");
}

TEST(Utf8Sequence, OnlyWellFormedCharactersPass) {
    struct Case {
        const char* bytes;
        std::size_t length;
        char32_t code_point;
    };
    const Case cases[] = {
        {"\xC3\xBC", 2, 0xFC},        // u umlaut
        {"\xC2\xA0", 2, 0xA0},        // first after the C1 controls
        {"\xE6\x9D\xB1", 3, 0x6771},  // a wide character
        {"\xF0\x9F\x9B\xAB", 4, 0x1F6EB},
        {"\xC2\x9B", 0, 0},          // C1 CSI
        {"\xC0\xAF", 0, 0},          // overlong '/'
        {"\xE0\x80\xAF", 0, 0},      // overlong, three bytes
        {"\xED\xA0\x80", 0, 0},      // surrogate
        {"\xF4\x90\x80\x80", 0, 0},  // above U+10FFFF
        {"\xC3(", 0, 0},             // not a continuation
        {"\x80", 0, 0},              // a continuation alone
        {"A", 0, 0},
    };
    for (const Case& c : cases) {
        char32_t code_point = 0;
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.bytes);
        EXPECT_EQ(utf8_sequence(bytes, std::strlen(c.bytes), code_point), c.length) << c.bytes;
        if (c.length > 0) {
            EXPECT_EQ(code_point, c.code_point);
            // Cut short, it is no sequence.
            EXPECT_EQ(utf8_sequence(bytes, c.length - 1, code_point), 0u);
        }
    }
}

class RecordedScreen : public ::testing::Test {
  protected:
    void SetUp() override { screen.recorder = &records; }
    Screen screen;
    std::vector<PrintRecord> records;
};

TEST_F(RecordedScreen, RecordsEveryPrintWithoutATerminal) {
    screen_print(screen, Window::kStatus, ColourPair::kWhiteOnBlue, 1, 4, false, false,
                 "Good: %ld, Upl: %ld", 12L, 3L);
    screen_print(screen, Window::kMessage, ColourPair::kWhiteOnBlack, 0, 16, true, true, "%s",
                 "\nA\nB\n");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].window, Window::kStatus);
    EXPECT_EQ(records[0].text, "Good: 12, Upl: 3");
    EXPECT_EQ(records[0].colour_pair, 1);
    EXPECT_EQ(records[0].column, 1);
    EXPECT_EQ(records[0].row, 4);
    EXPECT_FALSE(records[0].bold);
    EXPECT_EQ(records[1].window, Window::kMessage);
    EXPECT_EQ(records[1].text, "\nA\nB\n");  // whole, before the split
    EXPECT_TRUE(records[1].bold);
    EXPECT_TRUE(records[1].scroll_first);
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
#pragma GCC diagnostic ignored "-Wformat-extra-args"
TEST_F(RecordedScreen, FormatsWithStarOrBracketAreShownVerbatim) {
    screen_print(screen, Window::kMessage, ColourPair::kWhiteOnBlack, 1, 16, false, false,
                 "width %*d and %s", 5, 7, "x");
    screen_print(screen, Window::kMessage, ColourPair::kWhiteOnBlack, 1, 16, false, false,
                 "%] %d%%", 9);
    screen_print(screen, Window::kMessage, ColourPair::kWhiteOnBlack, 1, 16, false, false,
                 "100%% of %d", 3);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].text, "width %*d and %s");
    EXPECT_EQ(records[1].text, "%] %d%%");
    EXPECT_EQ(records[2].text, "100% of 3");
}
#pragma GCC diagnostic pop

TEST_F(RecordedScreen, NoFormatNoPrintAndLongTextsAreCut) {
    screen_print(screen, Window::kMessage, ColourPair::kWhiteOnBlack, 1, 16, false, false, nullptr);
    EXPECT_TRUE(records.empty());
    std::string long_text(5000, 'a');
    screen_print(screen, Window::kMessage, ColourPair::kWhiteOnBlack, 1, 16, false, false, "%s",
                 long_text.c_str());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].text, std::string(kScreenTextSize - 1, 'a'));
}

TEST_F(RecordedScreen, WithoutCursesEveryRoutineIsHarmless) {
    // Not daemon mode, but screen_open never ran: no window exists.
    status_scroll(screen, 0, 3);
    clear_row(screen, Window::kStatus, 1, 1, 78);
    help_toggle(screen);
    show_crc_status(screen, true);
    show_volume_line(screen, "=[ Vol: 3, Extended: OFF ]=");
    show_clock(screen, 0);
    screen_scroll(screen, Window::kMessage);
    screen_refresh(screen, Window::kMessage);
    statistics_window_open(screen, 4, 54, 5, 24, ColourPair::kBlackOnWhite);
    statistics_window_close(screen);
    screen_rebuild(screen);
    screen_close(screen);
    EXPECT_EQ(screen_read_key(screen), -1);
    EXPECT_FALSE(statistics_window_shown(screen));
    EXPECT_EQ(screen.help_window, nullptr);
    // show_spinner and statistics_window_write still tell the recorder.
    show_spinner(screen, '/');
    statistics_window_write(screen, 1, 2, "Type 00....0012");
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].window, Window::kTitleBar);
    EXPECT_EQ(records[0].text, "/");
    EXPECT_EQ(records[0].column, 79);
    EXPECT_EQ(records[1].window, Window::kStatistics);
    EXPECT_EQ(records[1].text, "Type 00....0012");
    EXPECT_EQ(message_last_row(screen), 16);
}

class DaemonScreen : public RecordedScreen {
  protected:
    void SetUp() override {
        RecordedScreen::SetUp();
        screen.daemon = true;
    }
};

TEST_F(DaemonScreen, NothingIsDrawnOrRecorded) {
    screen_print(screen, Window::kMessage, ColourPair::kWhiteOnBlack, 1, 16, false, true, "%s",
                 "not shown");
    show_crc_status(screen, true);
    show_volume_line(screen, "=[ Vol: 3, Extended: OFF ]=");
    show_spinner(screen, '|');
    show_clock(screen, 0);
    status_scroll(screen, 0, 3);
    help_toggle(screen);
    statistics_window_write(screen, 1, 2, "x");
    EXPECT_TRUE(records.empty());
    EXPECT_EQ(screen_read_key(screen), -1);
}

std::string terminal_title_bytes(bool daemon) {
    Screen screen;
    screen.daemon = daemon;
    std::FILE* file = std::tmpfile();
    EXPECT_NE(file, nullptr);
    if (file == nullptr) return {};
    EXPECT_TRUE(print_terminal_title(screen, file));
    std::rewind(file);
    std::string bytes;
    int c;
    while ((c = std::fgetc(file)) != EOF) bytes += static_cast<char>(c);
    std::fclose(file);
    return bytes;
}

TEST(TerminalTitle, IsTheOscSequenceOutsideDaemonMode) {
    EXPECT_EQ(terminal_title_bytes(false), std::string("\x1b]0;korvad 1.oo\x07"));
    EXPECT_EQ(terminal_title_bytes(true), "");
}

}  // namespace
}  // namespace korvad
