#include "ui/terminal/Screen.h"

#include <term.h>

#include <algorithm>

#include "ui/terminal/Text.h"

namespace ui::terminal {

std::string capability(const char* name) {
    char* value = tigetstr(const_cast<char*>(name));
    if (value == nullptr || value == reinterpret_cast<char*>(-1)) return {};
    return value;
}

void put(int row, int col, const std::string& text, attr_t attr, short colourPair, int maxCells) {
    if (row < 0 || row >= LINES || maxCells <= 0) return;
    int skip = col < 0 ? -col : 0;
    col = std::max(col, 0);
    int room = std::min(maxCells - skip, COLS - col);
    if (room <= 0 || skip >= int(text.size())) return;
    // A control character would move the cursor or clear the row: it never reaches the terminal.
    std::string shown =
        text.substr(std::size_t(skip), std::size_t(std::min(room, int(text.size()) - skip)));
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    attr_set(attr, colourPair, nullptr);
    mvaddnstr(row, col, shown.c_str(), int(shown.size()));
}

void putGlyph(int row, int col, const char* utf8, attr_t attr, short colourPair) {
    if (row < 0 || row >= LINES || col < 0 || col >= COLS) return;
    attr_set(attr, colourPair, nullptr);
    mvaddstr(row, col, utf8);
}

void putChar(int row, int col, chtype ch, attr_t attr, short colourPair) {
    if (row < 0 || row >= LINES || col < 0 || col >= COLS) return;
    attr_set(attr, colourPair, nullptr);
    mvaddch(row, col, ch);
}

void putMnemonic(int row, int col, const std::string& text, attr_t attr, short colourPair,
                 int maxCells) {
    int at = -1;
    std::string plain = stripMnemonic(text, &at);
    put(row, col, plain, attr, colourPair, maxCells);
    if (at >= 0 && at < maxCells) {
        put(row, col + at, plain.substr(std::size_t(at), 1), attr | A_UNDERLINE, colourPair, 1);
    }
}

void fill(const Box& b, attr_t attr, short colourPair) {
    std::string blanks(std::size_t(std::max(0, b.width)), ' ');
    for (int r = b.top; r < b.top + b.height; ++r)
        put(r, b.left, blanks, attr, colourPair, b.width);
}

void frame(const Box& b, attr_t attr, short colourPair) {
    if (b.width < 2 || b.height < 2) return;
    int bottom = b.top + b.height - 1, right = b.left + b.width - 1;
    for (int c = b.left + 1; c < right; ++c) {
        putChar(b.top, c, ACS_HLINE, attr, colourPair);
        putChar(bottom, c, ACS_HLINE, attr, colourPair);
    }
    for (int r = b.top + 1; r < bottom; ++r) {
        putChar(r, b.left, ACS_VLINE, attr, colourPair);
        putChar(r, right, ACS_VLINE, attr, colourPair);
    }
    putChar(b.top, b.left, ACS_ULCORNER, attr, colourPair);
    putChar(b.top, right, ACS_URCORNER, attr, colourPair);
    putChar(bottom, b.left, ACS_LLCORNER, attr, colourPair);
    putChar(bottom, right, ACS_LRCORNER, attr, colourPair);
}

}  // namespace ui::terminal
