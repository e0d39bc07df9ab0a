// What the main loop keeps up to date on the windows (the CRC and volume lines
// on the status window's borders, the clock and spinner on the title bar, the
// terminal's own title) and the two overlays: help and statistics.

#include <algorithm>
#include <cstring>

#include "common/local_time.h"
#include "common/version.h"
#include "screen/drawing.h"

namespace korvad {
namespace {

constexpr int kHelpRows = 9;
constexpr int kHelpColumns = 46;
constexpr ColourPair kHelpPair = ColourPair::kBlackOnWhite;

constexpr const char* kHelpTexts[] = {
    "A ... Show/Hide daily airline statistics",
    "T ... Show/Hide daily aircraft statistics",
    "E ... Enable/Disable extended korvad mode",
    "R ... Reload all korvad databases",
    "C ... Switch FCB/CRC Check On/Off",
    "H ... Show this helpscreen",
    "Q ... Quit korvad",
};

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

}  // namespace

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
