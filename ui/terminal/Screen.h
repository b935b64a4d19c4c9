// Drawing on the ncurses screen: clipped text, frames, and the colour pairs of the dialogs.
// Include after ui/Dialog.h: curses.h defines macros (OK, ...) that would clash with it.
#pragma once

#include <curses.h>

#include <string>

#include "ui/terminal/Layout.h"

namespace ui::terminal {

// Colour pairs of the dialogs themselves; picture pairs follow them.
constexpr short kDesk = 1, kDialog = 2, kTitle = 3, kField = 4, kFocus = 5, kWarning = 6,
                kInactive = 7, kFirstPicturePair = 8;

// A terminfo string capability, or "" when the terminal has none.
std::string capability(const char* name);

// Text at (row, col), at most `maxCells` of it, clipped to the screen. Control characters never
// reach the terminal.
void put(int row, int col, const std::string& text, attr_t attr, short colourPair, int maxCells);
// One character cell given as UTF-8 (block characters, arrows).
void putGlyph(int row, int col, const char* utf8, attr_t attr, short colourPair);
void putChar(int row, int col, chtype ch, attr_t attr, short colourPair);
// Text with its mnemonic letter underlined.
void putMnemonic(int row, int col, const std::string& text, attr_t attr, short colourPair,
                 int maxCells);
void fill(const Box& b, attr_t attr, short colourPair);
void frame(const Box& b, attr_t attr, short colourPair);

}  // namespace ui::terminal
