#pragma once
// The native dialog's live rate chart: a child window that draws a RateHistory with GDI, the
// line over the last two minutes with its axes, as the Qt dialog's chart does. The history
// stays the dialog's; the window only draws it, whenever it is invalidated.
#include "platform/windows.h"

class RateHistory;

// The line's colour, the same blue as the Qt chart's; the dialog driver looks for it on the
// screen.
constexpr COLORREF kRateLineColour = RGB(0x1f, 0x77, 0xb4);

// A child of `parent` with control id `id` covering `area` (pixels of the parent's client
// area); `history` must outlive the window. Takes the parent's font. Null if it could not be
// made.
HWND CreateRateChart(HWND parent, int id, const RECT& area, const RateHistory& history);
