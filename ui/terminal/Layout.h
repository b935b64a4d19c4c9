// Where a window's parts go on a screen of character cells.
//
// Dialog units become cells by one scale for each direction, between a smallest scale at which
// every window of the wizard keeps its texts whole (80 x 24 holds every page) and a largest one
// that keeps a dialog's shape on big screens. Rows are not simply scaled: single-line controls
// that share a row in the template (a label and the field beside it) share one row on screen, and
// a control never lands on a row that a control above it still takes, so the window grows by a
// row where rounding would make two meet. A window that does not fit says why instead.
#pragma once

#include <string>
#include <vector>

#include "ui/Backend.h"

namespace ui::terminal {

// A rectangle of cells.
struct Box {
    int top = 0, left = 0, height = 0, width = 0;
    int bottom() const { return top + height; }  // one past the last row
    int right() const { return left + width; }   // one past the last column
};

inline constexpr double kMinCellsPerUnitX = 0.25, kMinRowsPerUnitY = 0.1;
inline constexpr double kMaxCellsPerUnitX = 1.0 / 3, kMaxRowsPerUnitY = 1.0 / 6;

struct DialogLayout {
    Box frame;  // with the border
    Box inner;
    std::vector<Box> controls;  // one per control of the window, in its order; empty when hidden
    std::string problem;        // why the window cannot be shown on this screen; empty when it fits
};
DialogLayout layoutDialog(const Window& window, int columns, int lines);

struct MessageBoxLayout {
    Box frame;
    std::vector<std::string> lines;  // the message, wrapped
    int indent = 0;                  // cells left of the text for the icon
    std::string problem;
};
MessageBoxLayout layoutMessageBox(const Window& window, int columns, int lines);

bool isButton(const Control& control);
// Whether a control takes one row (everything but multi-line edits, group boxes and pictures).
bool isSingleRow(const Control& control);

}  // namespace ui::terminal
