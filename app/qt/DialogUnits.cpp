#include "app/qt/DialogUnits.h"

#include <QFontMetrics>
#include <QString>

namespace zodiva::gui {

DialogBaseUnits BaseUnitsForFont(const QFont& font) {
    static const QString kAlphabet =
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    const QFontMetrics metrics(font);
    DialogBaseUnits units;
    units.cx = (metrics.horizontalAdvance(kAlphabet) / 26 + 1) / 2;
    units.cy = metrics.height();
    return units;
}

int MulDivRounded(int value, int numerator, int denominator) {
    if (denominator == 0)
        return 0;
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = (denominator > 0 ? denominator : -denominator) / 2;
    const bool negative = (product < 0) != (denominator < 0);
    const long long magnitude = (product < 0 ? -product : product);
    const long long absDenominator = denominator < 0 ? -denominator : denominator;
    const long long quotient = (magnitude + half) / absDenominator;
    return static_cast<int>(negative ? -quotient : quotient);
}

QRect DialogUnitsToPixels(const DialogBaseUnits& units, int x, int y, int width, int height) {
    const int left = MulDivRounded(x, units.cx, 4);
    const int top = MulDivRounded(y, units.cy, 8);
    const int right = MulDivRounded(x + width, units.cx, 4);
    const int bottom = MulDivRounded(y + height, units.cy, 8);
    return QRect(left, top, right - left, bottom - top);
}

QFont DialogFont(const char* face, int pointSize) {
    QFont font{QString::fromLatin1(face)};
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(pointSize);
    return font;
}

}  // namespace zodiva::gui
