// Drawing inside the windows: pieces of text kept within their window, the
// forms bytes are drawn in, and showing windows with the overlays on top.

#include "screen/drawing.h"

#include <algorithm>
#include <cwchar>

namespace korvad {
namespace {

bool is_boxed(const Screen& screen, const WINDOW* window) {
    return window == screen.status_window || window == screen.help_window ||
           window == screen.statistics_window;
}

// First column a text may not reach: the window's width, or its right border.
int right_limit(const Screen& screen, WINDOW* window) {
    int width = getmaxx(window);
    return is_boxed(screen, window) ? width - 1 : width;
}

}  // namespace

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

}  // namespace korvad
