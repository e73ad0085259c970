#pragma once
// Dialog units: a dialog's layout is written in units of a quarter of the dialog font's
// average character width and an eighth of its height, so it keeps its proportions at any
// font size and screen scale. The conversion is the one the original dialog manager uses.
#include <QFont>
#include <QRect>

namespace zodiva::gui {

struct DialogBaseUnits {
    int cx = 0;  // average character width in pixels
    int cy = 0;  // character height in pixels
};

// Base units of a font: the width of the 52 letters A-Z, a-z divided by 26, halved with
// rounding up, and the font's height.
DialogBaseUnits BaseUnitsForFont(const QFont& font);

// Multiplies and divides with rounding to the nearest integer, halves away from zero.
int MulDivRounded(int value, int numerator, int denominator);

// Converts a rectangle in dialog units to pixels. Edges are converted, not sizes, so that
// controls that touch in dialog units touch in pixels too.
QRect DialogUnitsToPixels(const DialogBaseUnits& units, int x, int y, int width, int height);

// The dialog font of a template: the named face at its point size, falling back to the
// desktop's sans-serif face where the named one is not installed.
QFont DialogFont(const char* face, int pointSize);

}  // namespace zodiva::gui
