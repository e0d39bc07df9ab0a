// The terminal display over ncurses.
//
// All drawing goes through draw_piece, which keeps every text inside its
// window and turns control bytes into visible forms; every window is shown
// through show, which keeps the overlays (statistics below help) on top of
// whatever window changed.

#define NCURSES_NOMACROS 1
#include "screen/screen.h"

#include <curses.h>
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
#include <cwchar>

#include "common/local_time.h"
#include "common/version.h"

namespace korvad {
namespace {

constexpr int kStatusRows = 6;
constexpr int kHelpRows = 9;
constexpr int kHelpColumns = 46;
constexpr ColourPair kTitleBarPair = ColourPair::kBlackOnWhite;
constexpr ColourPair kStatusPair = ColourPair::kWhiteOnBlue;
constexpr ColourPair kHelpPair = ColourPair::kBlackOnWhite;
constexpr ColourPair kSplashPair = ColourPair::kWhiteOnBlack;

int curses_attribute(ColourPair pair) {
    return static_cast<int>(COLOR_PAIR(static_cast<short>(pair)));
}

constexpr const char* kHelpTexts[] = {
    "A ... Show/Hide daily airline statistics",
    "T ... Show/Hide daily aircraft statistics",
    "E ... Enable/Disable extended korvad mode",
    "R ... Reload all korvad databases",
    "C ... Switch FCB/CRC Check On/Off",
    "H ... Show this helpscreen",
    "Q ... Quit korvad",
};

constexpr char kPressHelpLine[] = "-=[ Press 'H' for help or 'Q' to quit ]=-";
constexpr char kSplashTitle[] = "  -----=[ korvad - Free ACARS decoder for LiNUX ]=-----";
constexpr char kSplashCredit1[] = "     2400 bit/s MSK from the audio output of a scanner radio,";
constexpr char kSplashCredit2[] = "     checked, logged, collected and served to remote clients";
constexpr char kSplashPress[] = "        Press 'H' for help and 'Q' to quit korvad";
constexpr int kSplashDashes = 53;

WINDOW* window_of(const Screen& screen, Window window) {
    switch (window) {
        case Window::kTitleBar:
            return screen.title_bar;
        case Window::kMessage:
            return screen.message_window;
        case Window::kStatus:
            return screen.status_window;
        case Window::kHelp:
            return screen.help_window;
        case Window::kStatistics:
            return screen.statistics_window;
    }
    return nullptr;
}

bool is_boxed(const Screen& screen, const WINDOW* window) {
    return window == screen.status_window || window == screen.help_window ||
           window == screen.statistics_window;
}

// First column a text may not reach: the window's width, or its right border.
int right_limit(const Screen& screen, WINDOW* window) {
    int width = getmaxx(window);
    return is_boxed(screen, window) ? width - 1 : width;
}

// Draws text[0 .. length) from (row, column) in the window's current
// attributes. A start outside the window drops the piece; the text is cut
// where its next character would pass the limit, so nothing wraps to the next
// row and nothing scrolls.
void draw_piece(const Screen& screen, WINDOW* window, int row, int column, const char* text,
                std::size_t length) {
    if (window == nullptr || wmove(window, row, column) == ERR) return;
    const int limit = right_limit(screen, window);
    const bool scrolling = is_scrollok(window);
    if (scrolling) scrollok(window, FALSE);  // the bottom-right cell must not scroll
    int x = column;
    char form[5];
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < length; ++i) {
        char32_t code_point = 0;
        const std::size_t sequence =
            screen.utf8 ? utf8_sequence(bytes + i, length - i, code_point) : 0;
        const int width = sequence > 0 ? wcwidth(static_cast<wchar_t>(code_point)) : -1;
        if (width >= 0) {
            if (x + width > limit) break;
            waddnstr(window, text + i, static_cast<int>(sequence));
            x += width;
            i += sequence - 1;
            continue;
        }
        std::size_t n = visible_form(bytes[i], form);
        if (n == 0) continue;
        if (x + static_cast<int>(n) > limit) break;
        for (std::size_t k = 0; k < n; ++k) waddch(window, static_cast<chtype>(form[k]));
        x += static_cast<int>(n);
    }
    if (scrolling) scrollok(window, TRUE);
}

// Shows a window; overlays above it are laid on top again, so a message
// scrolling underneath does not wipe the help or statistics window.
void show(Screen& screen, WINDOW* window) {
    if (window == nullptr) return;
    wnoutrefresh(window);
    if (window != screen.statistics_window && window != screen.help_window &&
        screen.statistics_window != nullptr) {
        touchwin(screen.statistics_window);
        wnoutrefresh(screen.statistics_window);
    }
    if (window != screen.help_window && screen.help_window != nullptr) {
        touchwin(screen.help_window);
        wnoutrefresh(screen.help_window);
    }
    doupdate();
}

// Erases and deletes an overlay, then redraws what it covered.
void remove_overlay(Screen& screen, WINDOW*& overlay) {
    if (overlay == nullptr) return;
    werase(overlay);
    wnoutrefresh(overlay);
    delwin(overlay);
    overlay = nullptr;
    for (WINDOW* base : {screen.title_bar, screen.message_window, screen.status_window}) {
        if (base == nullptr) continue;
        touchwin(base);
        wnoutrefresh(base);
    }
    for (WINDOW* other : {screen.statistics_window, screen.help_window}) {
        if (other == nullptr) continue;
        touchwin(other);
        wnoutrefresh(other);
    }
    doupdate();
}

// newwin for a window that may not fit: it is cut to the terminal and moved
// inside it. nullptr when the terminal has no room at all.
WINDOW* new_window_within(int rows, int columns, int top, int left) {
    rows = std::min(rows, LINES);
    columns = std::min(columns, COLS);
    if (rows < 1 || columns < 1) return nullptr;
    top = std::clamp(top, 0, LINES - rows);
    left = std::clamp(left, 0, COLS - columns);
    return newwin(rows, columns, top, left);
}

void delete_window(WINDOW*& window) {
    if (window == nullptr) return;
    delwin(window);
    window = nullptr;
}

// Draws a box line back over a text that is about to be replaced.
void restore_border(Screen& screen, BorderText& text, int row) {
    WINDOW* window = screen.status_window;
    if (window == nullptr || text.column < 0) return;
    int first = std::max(text.column, 1);
    int count = std::min(text.column + text.width, getmaxx(window) - 1) - first;
    if (count > 0 && row < getmaxy(window)) {
        attr_t attrs = 0;
        short pair = 0;
        wattr_get(window, &attrs, &pair, nullptr);
        wattrset(window, curses_attribute(kStatusPair));
        mvwhline(window, row, first, ACS_HLINE, count);
        wattr_set(window, attrs, pair, nullptr);
    }
    text = BorderText{};
}

// Writes a text right-aligned on a border row of the status window, three
// columns before the right edge.
void show_on_border(Screen& screen, BorderText& slot, int row, const std::string& text) {
    if (screen.daemon || screen.status_window == nullptr) return;
    restore_border(screen, slot, row);
    int width = static_cast<int>(text.size());
    int column = getmaxx(screen.status_window) - width - 3;
    screen_print(screen, Window::kStatus, kStatusPair, column, row, true, false, "%s",
                 text.c_str());
    slot = BorderText{column, width};
}

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

std::size_t utf8_sequence(const unsigned char* text, std::size_t length, char32_t& code_point) {
    if (length == 0) return 0;
    const unsigned char lead = text[0];
    std::size_t n = 0;
    char32_t value = 0;
    char32_t lowest = 0;  // below it the form is overlong
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2, value = lead & 0x1F, lowest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3, value = lead & 0x0F, lowest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4, value = lead & 0x07, lowest = 0x10000;
    } else {
        return 0;
    }
    if (length < n) return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((text[k] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (text[k] & 0x3F);
    }
    if (value < lowest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    if (value <= 0x9F) return 0;  // C1 controls
    code_point = value;
    return n;
}

std::size_t visible_form(unsigned char c, char (&out)[5]) {
    std::size_t n = 0;
    if (c >= 0x80) {
        out[n++] = 'M';
        out[n++] = '-';
        c &= 0x7f;
    } else if (c == '\r') {
        out[0] = '\0';
        return 0;
    } else if (c == '\t') {
        c = ' ';
    }
    if (c < 0x20) {
        out[n++] = '^';
        out[n++] = static_cast<char>(c + '@');
    } else if (c == 0x7f) {
        out[n++] = '^';
        out[n++] = '?';
    } else {
        out[n++] = static_cast<char>(c);
    }
    out[n] = '\0';
    return n;
}

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
    } else {
        initscr();  // a terminal that cannot be opened ends the program here
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

void help_toggle(Screen& screen) {
    if (screen.daemon || !screen.open) return;
    if (screen.help_window != nullptr) {
        remove_overlay(screen, screen.help_window);
        return;
    }
    WINDOW* window = new_window_within(kHelpRows, kHelpColumns, LINES / 2 - 4, COLS / 2 - 23);
    if (window == nullptr) return;
    screen.help_window = window;
    wattrset(window, curses_attribute(kHelpPair));
    werase(window);
    box(window, 0, 0);
    for (int row = 1; row <= 7; ++row) clear_row(screen, Window::kHelp, row, 1, kHelpColumns - 2);
    int row = 1;
    for (const char* text : kHelpTexts) {
        draw_piece(screen, window, row++, 2, text, std::strlen(text));
    }
    show(screen, window);
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

void show_crc_status(Screen& screen, bool on) {
    show_on_border(screen, screen.crc_line, 0,
                   format_text("=[ CRC check is: %s ]=", on ? "ON" : "OFF"));
}

void show_volume_line(Screen& screen, const std::string& line) {
    show_on_border(screen, screen.volume_line, 5, line);
}

void show_clock(Screen& screen, std::time_t now) {
    if (screen.daemon || screen.title_bar == nullptr) return;
    std::string text = local_time_text(now, "%02d %b %Y - %02H:%02M");
    if (text.empty()) return;
    int column = getmaxx(screen.title_bar) - static_cast<int>(text.size()) - 2;
    screen_print(screen, Window::kTitleBar, kTitleBarPair, column, 0, false, false, "%s",
                 text.c_str());
}

void show_spinner(Screen& screen, char c) {
    if (screen.daemon) return;
    screen_print(screen, Window::kTitleBar, kTitleBarPair, screen.columns - 1, 0, false, false,
                 "%c", c);
}

void statistics_window_open(Screen& screen, int rows, int columns, int top, int left,
                            ColourPair pair) {
    if (screen.daemon || !screen.open) return;
    if (screen.statistics_window != nullptr) remove_overlay(screen, screen.statistics_window);
    WINDOW* window = new_window_within(rows, columns, top, left);
    if (window == nullptr) return;
    screen.statistics_window = window;
    wattrset(window, curses_attribute(pair));
    werase(window);
    box(window, 0, 0);
}

void statistics_window_write(Screen& screen, int row, int column, const std::string& text) {
    if (screen.daemon) return;
    if (screen.recorder != nullptr) {
        screen.recorder->push_back(
            PrintRecord{Window::kStatistics, 0, column, row, false, false, text});
    }
    draw_piece(screen, screen.statistics_window, row, column, text.data(), text.size());
}

void statistics_window_close(Screen& screen) {
    if (screen.daemon) return;
    remove_overlay(screen, screen.statistics_window);
}

bool statistics_window_shown(const Screen& screen) {
    return screen.statistics_window != nullptr;
}

bool print_terminal_title(const Screen& screen, std::FILE* out) {
    if (screen.daemon) return true;
    return print_to(out, "%c]0;%s %s%c", 27, kProgramName, kVersion, 7);
}

}  // namespace korvad
