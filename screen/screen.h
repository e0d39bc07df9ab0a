#pragma once
// The terminal display: title bar, message window, status window, the help and
// statistics overlays, and the print routine through which the other parts'
// texts reach the windows (the statistics overlay has its own write). It only
// draws: texts for the server process go through the caller's ServerChannel
// (control/queue/server_channel.h).
//
// One Screen record per process, owned by main. In daemon mode no curses
// window exists and every routine does nothing.
//
// Layout (LINES x COLS as curses reports them):
//
//   row 0             title bar, pair 8: name line, clock, spinner
//   rows 1..LINES-7   message window, scrolling; keys are read from it
//   rows LINES-6..    status window, boxed, pair 1:
//                       row 0 counters line / CRC status on the top border
//                       rows 1..4 status log, new lines at row 4
//                       row 5 press-H line / volume line on the bottom border
//   overlays          help (9 x 46, centred), statistics (placed by its caller)
//
// Every text is drawn inside its window: a piece that starts outside is
// dropped, one that runs past the right edge is cut there (in boxed windows
// before the right border). Control characters and bytes above 127 are drawn
// as "^X" and "M-x", so no byte from the air can reach the terminal raw.
//
// Resize: the SIGWINCH handler only sets a flag; the main loop calls
// screen_rebuild and then counters_line at its next safe point.

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "common/format.h"

typedef struct _win_st WINDOW;

namespace korvad {

enum class Window { kTitleBar, kMessage, kStatus, kHelp, kStatistics };

// The colour pairs, foreground on background, by their curses numbers.
enum class ColourPair : short {
    kWindowOwn = 0,  // whatever the window was set to (statistics_window_write)
    kWhiteOnBlue = 1,
    kWhiteOnBlack = 2,
    kYellowOnBlue = 3,
    kWhiteOnCyan = 4,
    kRedOnBlack = 5,
    kYellowOnBlack = 6,
    kGreenOnBlack = 7,
    kBlackOnWhite = 8,
    kBlackOnYellow = 9,
    kCyanOnBlue = 10,
    kCyanOnBlack = 11,
    kRedOnBlue = 12,
};
inline constexpr int kColourPairCount = 12;

inline constexpr int kStatusLogRow = 4;       // status messages go here after status_scroll
inline constexpr int kScreenTextSize = 4096;  // screen_print's text buffer, NUL included
inline constexpr int kBufferBytes = 50240;    // shown in the status window at start

// What screen_print was asked to draw; tests install a recorder to see it
// without a terminal (nothing is recorded in daemon mode). text is the whole
// text before it is split at newlines. statistics_window_write records too,
// with colour pair 0 (the window's own). colour_pair is the curses number.
struct PrintRecord {
    Window window;
    int colour_pair;
    int column;
    int row;
    bool bold;
    bool scroll_first;
    std::string text;
};

// A text on a box line that a later, shorter text replaces: its extent is
// drawn back as line before the new one is written.
struct BorderText {
    int column = -1;  // -1: nothing written yet
    int width = 0;
};

struct Screen {
    bool daemon = false;      // no screen at all
    int sample_rate = 19500;  // shown in the status window
    int lines = 24;           // terminal size as curses reports it (set by screen_open)
    int columns = 80;
    bool open = false;  // between screen_open and screen_close
    // The terminal's character set is UTF-8 (the locale says so): names from
    // the stores are drawn as the characters they are.
    bool utf8 = false;
    // The terminal the keys are read from when standard input carries audio;
    // null when curses reads standard input.
    std::FILE* keyboard = nullptr;

    WINDOW* title_bar = nullptr;
    WINDOW* message_window = nullptr;  // none on a terminal under 8 lines
    WINDOW* status_window = nullptr;
    WINDOW* help_window = nullptr;        // only while shown
    WINDOW* statistics_window = nullptr;  // only while shown

    BorderText crc_line;     // "=[ CRC check is: %s ]=" on the top border
    BorderText volume_line;  // "=[ Vol: %d, Extended: %s ]=" on the bottom border

    std::vector<PrintRecord>* recorder = nullptr;  // tests: every draw request
};

// Sets up curses and the three windows with the splash. Returns 1, or 0 when
// the terminal cannot be used (TERM unset, empty or unknown). When standard
// input is not a terminal (audio through a pipe), keys are read from
// /dev/tty; 0 when that cannot be opened. Nothing happens in daemon mode
// (returns 1).
[[nodiscard]] int screen_open(Screen& screen);

// The print routine. Without a format it does nothing. A format holding "%*"
// or "%]" is shown verbatim; otherwise it is formatted with the arguments
// (texts are cut to kScreenTextSize - 1 bytes). Printing into the message
// window first removes the statistics window. The text is split at newlines;
// every piece is written at (row, column) and every piece but the first is
// followed by a scroll of the window. Nothing is drawn in daemon mode.
void screen_print(Screen& screen, Window window, ColourPair pair, int column, int row, bool bold,
                  bool scroll_first, const char* format, ...) KORVAD_PRINTF(8, 9);
void screen_vprint(Screen& screen, Window window, ColourPair pair, int column, int row, bool bold,
                   bool scroll_first, const char* format, va_list args) KORVAD_PRINTF(8, 0);

// A status message: scrolls the status log (status_scroll(0, 3)) and prints
// the text at row kStatusLogRow, column 1.
void status_line(Screen& screen, ColourPair pair, bool bold, const char* format, ...)
    KORVAD_PRINTF(4, 5);

// Last row of the message window (LINES - 8), where one-line texts go.
int message_last_row(const Screen& screen);

// Status log: rows first+1..last take the row below them, row last+1 is
// blanked. Called as (0, 3) before a text at kStatusLogRow.
void status_scroll(Screen& screen, int first, int last);
// Writes width blanks from (row, column) in the window's current colours.
void clear_row(Screen& screen, Window window, int row, int column, int width);
// H key: shows the help window, or removes it and redraws what it covered.
void help_toggle(Screen& screen);
// Blanks the terminal and ends curses; a second call does nothing.
void screen_close(Screen& screen);
// Rebuild after a terminal resize at the new size (run by the main loop after
// the SIGWINCH flag, never inside the handler). The caller then calls
// counters_line; the CRC line comes back with the next C key and the volume
// line with the next fifth buffer.
void screen_rebuild(Screen& screen);

// Scrolls a window up by one line and shows it.
void screen_scroll(Screen& screen, Window window);
// Shows a window's changes (overlays stay on top).
void screen_refresh(Screen& screen, Window window);

// Reads one key from the message window without waiting; -1 when none (or no
// screen).
int screen_read_key(Screen& screen);

// Status and title lines of the main loop.
// "=[ CRC check is: ON ]=" / "...OFF ]=" right-aligned on the status top border.
void show_crc_status(Screen& screen, bool on);
// The volume line as the main loop formatted it, right-aligned on the bottom border.
void show_volume_line(Screen& screen, const std::string& line);
// "%02d %b %Y - %02H:%02M" of now (local time), right-aligned on the title bar.
void show_clock(Screen& screen, std::time_t now);
// The spinner character at the last column of the title bar.
void show_spinner(Screen& screen, char c);

// The statistics overlay (its contents are the statistics' own). Open creates
// it (cut to the terminal when it does not fit), sets its colour pair and
// draws its box; write draws a text in it without showing it yet (the caller
// ends with screen_refresh(kStatistics)); close removes it and redraws the
// message window. Open replaces a window already shown.
void statistics_window_open(Screen& screen, int rows, int columns, int top, int left,
                            ColourPair pair);
void statistics_window_write(Screen& screen, int row, int column, const std::string& text);
void statistics_window_close(Screen& screen);
bool statistics_window_shown(const Screen& screen);

// "%c]0;%s %s%c" with ESC, "korvad", "1.oo", BEL: the terminal window's title.
// Nothing in daemon mode. Returns false on a write error.
bool print_terminal_title(const Screen& screen, std::FILE* out);

// How one byte of a text is drawn: itself when printable, "^X" for a control
// character, "^?" for DEL, "M-" and the form of the low seven bits for a byte
// above 127, one blank for a tab and nothing for a carriage return (texts from
// the air end their lines with CR LF). Returns the length (0..4) of the form
// stored NUL-terminated in out.
std::size_t visible_form(unsigned char c, char (&out)[5]);

// The length (2 to 4) of the well-formed UTF-8 sequence that text[0 ..
// length) starts with, 0 when it starts with none: a lone or stray byte, an
// overlong form, a surrogate, a code point above U+10FFFF or a C1 control
// (U+0080 .. U+009F). On a UTF-8 terminal such a sequence is drawn as its
// character (a name from the stores); every other byte above 127 keeps its
// "M-" form. code_point receives the character.
std::size_t utf8_sequence(const unsigned char* text, std::size_t length, char32_t& code_point);

}  // namespace korvad
