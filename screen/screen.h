#pragma once
// The terminal display: title bar, message window, status window, the help and
// statistics overlays, and the one print routine through which every text
// reaches the screen (and, given a queue code, the server process).
//
// One Screen record per process, owned by main. In daemon mode no curses
// window exists and every routine does nothing, except screen_print with a
// queue code, which still sends.

#include <cstdio>
#include <string>
#include <vector>

#include "common/format.h"

typedef struct _win_st WINDOW;

namespace korvad {

enum class Window { kTitleBar, kMessage, kStatus, kHelp, kStatistics };

// Colour pairs: 1 white/blue, 2 white/black, 3 yellow/blue, 4 white/cyan,
// 5 red/black, 6 yellow/black, 7 green/black, 8 black/white, 9 black/yellow,
// 10 cyan/blue, 11 cyan/black, 12 red/blue.

// What screen_print was asked to draw; tests install a recorder to see it
// without a terminal.
struct PrintRecord {
    Window window;
    int colour_pair;
    int column;
    int row;
    bool bold;
    bool scroll_first;
    std::string text;
};

struct Screen {
    bool daemon = false;     // no screen at all
    int queue_id = -1;       // where texts with a queue code go
    int sample_rate = 19500; // shown in the status window
    int lines = 24;          // terminal size as curses reports it
    int columns = 80;

    WINDOW* title_bar = nullptr;
    WINDOW* message_window = nullptr;
    WINDOW* status_window = nullptr;
    WINDOW* help_window = nullptr;        // only while shown
    WINDOW* statistics_window = nullptr;  // only while shown

    std::vector<PrintRecord>* recorder = nullptr;  // tests: every draw request
};

// Sets up curses and the three windows with the splash. Returns 1.
int screen_open(Screen& screen);

// The print routine. Without a format it does nothing. A format holding "%*"
// or "%]" is shown verbatim; otherwise it is formatted with the arguments.
// The text is split at newlines; every piece is written at (row, column) and
// every piece but the first is preceded by a scroll of the window. With a
// queue code the text also goes to the server process (type ToServer).
void screen_print(Screen& screen, Window window, int queue_code, int colour_pair, int column,
                  int row, bool bold, bool scroll_first, const char* format, ...)
    KORVAD_PRINTF(9, 10);

// Status log: rows first+1..last take the row below them, row last+1 is blanked.
void status_scroll(Screen& screen, int first, int last);
// Writes width blanks from (row, column).
void clear_row(Screen& screen, Window window, int row, int column, int width);
void help_toggle(Screen& screen);
void screen_close(Screen& screen);
// Rebuild after a terminal resize (run by the main loop, not in the handler).
void screen_rebuild(Screen& screen);

// Scrolls a window up by one line (message window after a one-line text).
void screen_scroll(Screen& screen, Window window);
void screen_refresh(Screen& screen, Window window);

// Reads one key from the message window without waiting; -1 when none.
int screen_read_key(Screen& screen);

// Status and title lines of the main loop.
void show_crc_status(Screen& screen, bool on);
void show_volume_line(Screen& screen, const std::string& line);
void show_clock(Screen& screen, long now);
void show_spinner(Screen& screen, char c);

// The statistics overlay (its contents are the statistics' own).
void statistics_window_open(Screen& screen, int rows, int columns, int top, int left,
                            int colour_pair);
void statistics_window_write(Screen& screen, int row, int column, const std::string& text);
void statistics_window_close(Screen& screen);  // and redraw the message window

// Process titles and detaching (all modes).
void process_title_init(int argc, char** argv, char** envp);
void process_title_set(const char* format, ...) KORVAD_PRINTF(1, 2);
void detach_terminal();
// "%c]0;%s %s%c": the terminal window's title.
void print_terminal_title(std::FILE* out);

}  // namespace korvad
