// Dialog units to pixels, as Windows maps them: a horizontal unit is a quarter of the dialog
// font's average character width (that of the 52 letters, rounded), a vertical unit an eighth of
// its height. Pages laid out in dialog units keep their proportions with any font.
#pragma once

#include <QFont>
#include <QRect>

namespace ui::desktop {

struct BaseUnits {
    int x = 0;  // pixels per 4 horizontal dialog units
    int y = 0;  // pixels per 8 vertical dialog units
};

BaseUnits baseUnitsOf(const QFont& font);

// `value` * `numerator` / `denominator`, rounded to the nearest (Windows' MulDiv).
int mulDiv(int value, int numerator, int denominator);

int toPixelsX(const BaseUnits& units, int dialogUnits);
int toPixelsY(const BaseUnits& units, int dialogUnits);
QRect toPixels(const BaseUnits& units, int x, int y, int cx, int cy);

}  // namespace ui::desktop
