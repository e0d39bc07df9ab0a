// The terminal display over ncurses: opening and closing curses, the title
// bar, message and status windows, the print routine, the status log, scrolling,
// rebuilding after a resize and reading keys. The drawing itself is in
// drawing.cpp; the border and title lines and the overlays in views.cpp.

#include <fcntl.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/version.h"
#include "screen/drawing.h"

namespace korvad {
namespace {

constexpr int kStatusRows = 6;
constexpr ColourPair kSplashPair = ColourPair::kWhiteOnBlack;

constexpr char kPressHelpLine[] = "-=[ Press 'H' for help or 'Q' to quit ]=-";
constexpr char kSplashTitle[] = "  -----=[ korvad - Free ACARS decoder for LiNUX ]=-----";
constexpr char kSplashCredit1[] = "     2400 bit/s MSK from the audio output of a scanner radio,";
constexpr char kSplashCredit2[] = "     checked, logged, collected and served to remote clients";
constexpr char kSplashPress[] = "        Press 'H' for help and 'Q' to quit korvad";
constexpr int kSplashDashes = 53;

void define_colours() {
    start_color();
    const short pairs[kColourPairCount][2] = {
        {COLOR_WHITE, COLOR_BLUE},  {COLOR_WHITE, COLOR_BLACK}, {COLOR_YELLOW, COLOR_BLUE},
        {COLOR_WHITE, COLOR_CYAN},  {COLOR_RED, COLOR_BLACK},   {COLOR_YELLOW, COLOR_BLACK},
        {COLOR_GREEN, COLOR_BLACK}, {COLOR_BLACK, COLOR_WHITE}, {COLOR_BLACK, COLOR_YELLOW},
        {COLOR_CYAN, COLOR_BLUE},   {COLOR_CYAN, COLOR_BLACK},  {COLOR_RED, COLOR_BLUE},
    };
    for (short i = 0; i < kColourPairCount; ++i) {
        init_pair(static_cast<short>(i + 1), pairs[i][0], pairs[i][1]);
    }
}

void create_title_bar(Screen& screen) {
    WINDOW* window = new_window_within(1, COLS, 0, 0);
    if (window == nullptr) return;
    screen.title_bar = window;
    noecho();
    nodelay(window, TRUE);
    keypad(window, TRUE);  // the key window of a terminal without message window
    cbreak();
    curs_set(0);
    scrollok(window, FALSE);
    wattrset(window, curses_attribute(kTitleBarPair));
    std::string blanks(static_cast<std::size_t>(COLS), ' ');
    draw_piece(screen, window, 0, 0, blanks.data(), blanks.size());
    show(screen, window);
    screen_print(screen, Window::kTitleBar, kTitleBarPair, 0, 0, false, false, "%s %s - %s",
                 kProgramName, kVersion, kNotice);
    show_clock(screen, std::time(nullptr));
}

void create_status_window(Screen& screen) {
    int rows = std::min(kStatusRows, LINES);
    WINDOW* window = new_window_within(rows, COLS, LINES - rows, 0);
    if (window == nullptr) return;
    screen.status_window = window;
    const int inner = COLS - 2;
    wattrset(window, curses_attribute(kStatusPair));
    werase(window);
    scrollok(window, FALSE);
    box(window, 0, 0);
    for (int row = 1; row <= 4; ++row) clear_row(screen, Window::kStatus, row, 1, inner);
    show(screen, window);
    for (int row = 1; row <= 3; ++row) clear_row(screen, Window::kStatus, row, 1, inner);
    screen_print(screen, Window::kStatus, kStatusPair, 1, kStatusLogRow, false, false, "%s %s - %s",
                 kProgramName, kVersion, kNotice);
    status_scroll(screen, 0, 3);
    screen_print(screen, Window::kStatus, kStatusPair, 1, kStatusLogRow, false, false,
                 "Using 8bit, mono, %dHz sampling rate. Buffersize: %d bytes", screen.sample_rate,
                 kBufferBytes);
    screen_print(screen, Window::kStatus, kStatusPair, 2, 5, true, false, "%s", kPressHelpLine);
}

void create_message_window(Screen& screen) {
    int rows = LINES - 7;
    if (rows < 1) return;  // no room between title bar and status window
    WINDOW* window = newwin(rows, COLS, 1, 0);
    if (window == nullptr) return;
    screen.message_window = window;
    noecho();
    nodelay(window, TRUE);
    cbreak();
    scrollok(window, TRUE);
    // Keys are read from this window: with keypad translation an arrow or
    // function key arrives as one code instead of ESC [ A, whose last byte
    // would otherwise act as the A key.
    keypad(window, TRUE);
    std::string dashes(kSplashDashes, '-');
    std::string splash =
        format_text("\n%s\n%s\n%s\n     %s\n\n%s\n  %s\n", kSplashTitle, kSplashCredit1,
                    kSplashCredit2, kNotice, kSplashPress, dashes.c_str());
    screen_print(screen, Window::kMessage, kSplashPair, 1, message_last_row(screen), true, true,
                 "%s", splash.c_str());
    wscrl(window, 3);
    show(screen, window);
}

// How long a lone ESC waits for the rest of a key sequence, in milliseconds
// (curses waits a whole second by default, and the main loop with it).
constexpr int kEscapeDelay = 100;

void start_curses(Screen& screen) {
    keypad(stdscr, TRUE);
    cbreak();
    noecho();
    set_escdelay(kEscapeDelay);
    screen.lines = LINES;
    screen.columns = COLS;
}

// The terminal's size as the kernel knows it now; false when it cannot tell.
bool terminal_size(int& rows, int& columns) {
    for (int fd : {STDOUT_FILENO, STDIN_FILENO}) {
        struct winsize size {};
        if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
            rows = size.ws_row;
            columns = size.ws_col;
            return true;
        }
    }
    return false;
}

}  // namespace

int screen_open(Screen& screen) {
    if (screen.daemon || screen.open) return 1;
    // The character set of the terminal, as the environment's locale names
    // it; only the character classes are taken (numbers and times keep the
    // C forms the formats rely on).
    std::setlocale(LC_CTYPE, "");
    screen.utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    // When the audio comes through standard input (-d -), the keys must come
    // from the terminal itself, or audio bytes would act as commands.
    if (!isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)) {
        screen.keyboard = std::fopen("/dev/tty", "r");
        if (screen.keyboard == nullptr) return 0;
        if (newterm(nullptr, stdout, screen.keyboard) == nullptr) {
            std::fclose(screen.keyboard);
            screen.keyboard = nullptr;
            return 0;
        }
    } else if (newterm(nullptr, stdout, stdin) == nullptr) {
        return 0;  // no such terminal type (TERM unset, empty or unknown): the caller ends
    }
    start_curses(screen);
    define_colours();
    screen.open = true;
    create_status_window(screen);
    create_title_bar(screen);
    create_message_window(screen);
    return 1;
}

void screen_vprint(Screen& screen, Window window, ColourPair pair, int column, int row, bool bold,
                   bool scroll_first, const char* format, va_list args) {
    if (format == nullptr || screen.daemon) return;
    WINDOW* target = window_of(screen, window);
    if (window == Window::kMessage && screen.statistics_window != nullptr) {
        remove_overlay(screen, screen.statistics_window);
    }
    if (scroll_first && target != nullptr) wscrl(target, 1);

    char text[kScreenTextSize] = {};
    if (std::strstr(format, "%*") != nullptr || std::strstr(format, "%]") != nullptr) {
        std::strncpy(text, format, sizeof text - 1);
    } else {
        vformat_into(text, sizeof text, format, args);
    }

    if (screen.recorder != nullptr) {
        screen.recorder->push_back(
            PrintRecord{window, static_cast<int>(pair), column, row, bold, scroll_first, text});
    }

    if (target != nullptr) {
        const int plain = curses_attribute(pair);
        wattrset(target, bold ? plain | static_cast<int>(A_BOLD) : plain);
        const char* piece = text;
        bool first = true;
        for (;;) {
            const char* newline = std::strchr(piece, '\n');
            std::size_t length =
                newline ? static_cast<std::size_t>(newline - piece) : std::strlen(piece);
            draw_piece(screen, target, row, column, piece, length);
            if (!first) wscrl(target, 1);
            first = false;
            if (newline == nullptr) break;
            piece = newline + 1;
        }
        show(screen, target);
        wattrset(target, plain);
    }
}

void screen_print(Screen& screen, Window window, ColourPair pair, int column, int row, bool bold,
                  bool scroll_first, const char* format, ...) {
    va_list args;
    va_start(args, format);
    screen_vprint(screen, window, pair, column, row, bold, scroll_first, format, args);
    va_end(args);
}

void status_line(Screen& screen, ColourPair pair, bool bold, const char* format, ...) {
    if (screen.daemon) return;
    status_scroll(screen, 0, 3);
    va_list args;
    va_start(args, format);
    screen_vprint(screen, Window::kStatus, pair, 1, kStatusLogRow, bold, false, format, args);
    va_end(args);
}

int message_last_row(const Screen& screen) {
    return screen.lines - 8;
}

void status_scroll(Screen& screen, int first, int last) {
    WINDOW* window = screen.status_window;
    if (screen.daemon || window == nullptr) return;
    const int rows = getmaxy(window);
    const int columns = getmaxx(window);
    attr_t attrs = 0;
    short pair = 0;
    wattr_get(window, &attrs, &pair, nullptr);
    wattrset(window, static_cast<int>(A_NORMAL));  // moved cells keep their own colours
    for (int r = std::max(first + 1, 0); r <= last && r + 1 < rows; ++r) {
        for (int c = 1; c <= columns - 2; ++c) {
            chtype cell = mvwinch(window, r + 1, c);
            mvwaddch(window, r, c, cell);
        }
    }
    // The freed row is blanked in the window's own colours, whatever the
    // last text left set.
    wattrset(window, curses_attribute(kStatusPair));
    clear_row(screen, Window::kStatus, last + 1, 1, columns - 2);
    wattr_set(window, attrs, pair, nullptr);
    show(screen, window);
}

void clear_row(Screen& screen, Window window, int row, int column, int width) {
    WINDOW* target = window_of(screen, window);
    if (screen.daemon || target == nullptr || width <= 0) return;
    std::string blanks(static_cast<std::size_t>(width), ' ');
    draw_piece(screen, target, row, column, blanks.data(), blanks.size());
}

void screen_close(Screen& screen) {
    if (screen.daemon || !screen.open) return;
    delete_window(screen.help_window);
    delete_window(screen.statistics_window);
    delete_window(screen.message_window);
    delete_window(screen.status_window);
    delete_window(screen.title_bar);
    wattrset(stdscr, static_cast<int>(A_NORMAL));
    werase(stdscr);
    touchwin(stdscr);
    wrefresh(stdscr);
    endwin();
    if (screen.keyboard != nullptr) {
        std::fclose(screen.keyboard);
        screen.keyboard = nullptr;
    }
    screen.open = false;
    screen.crc_line = BorderText{};
    screen.volume_line = BorderText{};
}

void screen_rebuild(Screen& screen) {
    if (screen.daemon || !screen.open) return;
    delete_window(screen.help_window);
    delete_window(screen.statistics_window);
    for (WINDOW** window : {&screen.title_bar, &screen.status_window, &screen.message_window}) {
        if (*window == nullptr) continue;
        werase(*window);
        wnoutrefresh(*window);
        delete_window(*window);
    }
    wattrset(stdscr, static_cast<int>(A_NORMAL));
    werase(stdscr);
    wrefresh(stdscr);
    endwin();

    // curses learns of a new size only through its own SIGWINCH handler,
    // which the decoder's handler replaces: ask the terminal.
    int rows = 0;
    int columns = 0;
    if (terminal_size(rows, columns)) resizeterm(rows, columns);
    start_curses(screen);
    clearok(curscr, TRUE);
    wrefresh(stdscr);  // back from endwin

    screen.crc_line = BorderText{};
    screen.volume_line = BorderText{};
    create_title_bar(screen);
    create_status_window(screen);
    create_message_window(screen);
}

void screen_scroll(Screen& screen, Window window) {
    WINDOW* target = window_of(screen, window);
    if (screen.daemon || target == nullptr) return;
    wscrl(target, 1);
    show(screen, target);
}

void screen_refresh(Screen& screen, Window window) {
    WINDOW* target = window_of(screen, window);
    if (screen.daemon || target == nullptr) return;
    show(screen, target);
}

int screen_read_key(Screen& screen) {
    if (screen.daemon || !screen.open) return -1;
    // Without a message window (a terminal under 8 lines) the title bar,
    // also without delay, still lets the user quit.
    WINDOW* window = screen.message_window ? screen.message_window : screen.title_bar;
    if (window == nullptr) return -1;
    int key = wgetch(window);
    return key == ERR ? -1 : key;
}

}  // namespace korvad
