#pragma once
// Drawing primitives shared by the files of screen/ (no other folder includes
// this header). Every text reaches a window through draw_piece, which keeps it
// inside the window and turns control bytes into visible forms; every window
// is shown through show, which keeps the overlays (statistics below help) on
// top of whatever window changed.

#define NCURSES_NOMACROS 1
#include <curses.h>

#include <cstddef>

#include "screen/screen.h"

namespace korvad {

inline constexpr ColourPair kTitleBarPair = ColourPair::kBlackOnWhite;
inline constexpr ColourPair kStatusPair = ColourPair::kWhiteOnBlue;

inline int curses_attribute(ColourPair pair) {
    return static_cast<int>(COLOR_PAIR(static_cast<short>(pair)));
}

// The curses window of a Window; nullptr when it is not shown.
WINDOW* window_of(const Screen& screen, Window window);

// Draws text[0 .. length) from (row, column) in the window's current
// attributes. A start outside the window drops the piece; the text is cut
// where its next character would pass the window's width or, in a boxed
// window, its right border, so nothing wraps to the next row and nothing
// scrolls.
void draw_piece(const Screen& screen, WINDOW* window, int row, int column, const char* text,
                std::size_t length);

// Shows a window; overlays above it are laid on top again, so a message
// scrolling underneath does not wipe the help or statistics window.
void show(Screen& screen, WINDOW* window);

// Erases and deletes an overlay, then redraws what it covered.
void remove_overlay(Screen& screen, WINDOW*& overlay);

// newwin for a window that may not fit: it is cut to the terminal and moved
// inside it. nullptr when the terminal has no room at all.
WINDOW* new_window_within(int rows, int columns, int top, int left);

// Deletes a window and forgets it; nothing when there is none.
void delete_window(WINDOW*& window);

}  // namespace korvad
