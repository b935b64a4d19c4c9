#include "ui/desktop/DialogUnits.h"

#include <QFontMetrics>

namespace ui::desktop {

BaseUnits baseUnitsOf(const QFont& font) {
    const QFontMetrics metrics(font);
    const int letters = metrics.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return {(letters / 26 + 1) / 2, metrics.height()};
}

int mulDiv(int value, int numerator, int denominator) {
    if (denominator == 0) return -1;  // as MulDiv
    long long product = static_cast<long long>(value) * numerator;
    long long divisor = denominator;
    if (divisor < 0) {
        product = -product;
        divisor = -divisor;
    }
    const long long rounded =
        product >= 0 ? (product + divisor / 2) / divisor : -((-product + divisor / 2) / divisor);
    return static_cast<int>(rounded);
}

int toPixelsX(const BaseUnits& units, int dialogUnits) {
    return mulDiv(dialogUnits, units.x, 4);
}

int toPixelsY(const BaseUnits& units, int dialogUnits) {
    return mulDiv(dialogUnits, units.y, 8);
}

QRect toPixels(const BaseUnits& units, int x, int y, int cx, int cy) {
    return {toPixelsX(units, x), toPixelsY(units, y), toPixelsX(units, cx), toPixelsY(units, cy)};
}

}  // namespace ui::desktop
