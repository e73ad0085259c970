#include "app/win32/RateChartWindow.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "app/core/RateHistory.h"

namespace {

constexpr const char* kClassName = "ZodivaRateChart";
constexpr COLORREF kGridColour = RGB(0xd8, 0xd8, 0xd8);
constexpr int kLineWidth = 2;

struct ChartWindow {
    const RateHistory* history = nullptr;
    HFONT font = nullptr;
};

ChartWindow* StateOf(HWND window) {
    return reinterpret_cast<ChartWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
}

std::string Number(double value, int decimals) {
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

SIZE TextSize(HDC dc, const std::string& text) {
    SIZE size{};
    GetTextExtentPoint32A(dc, text.c_str(), static_cast<int>(text.size()), &size);
    return size;
}

void Text(HDC dc, int x, int y, const std::string& text) {
    TextOutA(dc, x, y, text.c_str(), static_cast<int>(text.size()));
}

void Line(HDC dc, int x0, int y0, int x1, int y1) {
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
}

// The plot's frame inside the chart: room on the left for the rate labels, above for the
// unit, below for the time labels and the axis title, on the right for half the last label.
RECT PlotFrame(HDC dc, const RECT& client, const RateAxis& axis) {
    const SIZE line = TextSize(dc, "0");
    int labels = 0;
    for (int tick = 0; tick < axis.ticks; ++tick)
        labels = std::max<int>(labels, TextSize(dc, Number(axis.Step() * tick, axis.decimals)).cx);
    RECT frame;
    frame.left = client.left + labels + 6;
    frame.top = client.top + line.cy + line.cy / 2;
    frame.right = client.right - TextSize(dc, "000").cx / 2 - 2;
    frame.bottom = client.bottom - 2 * line.cy - 6;
    return frame;
}

void DrawAxes(HDC dc, const RECT& frame, const RateHistory& history, const RateAxis& axis) {
    const int height = frame.bottom - frame.top - 1;
    const int width = frame.right - frame.left - 1;
    const int lineHeight = TextSize(dc, "0").cy;
    HPEN grid = CreatePen(PS_SOLID, 1, kGridColour);
    HGDIOBJ previous = SelectObject(dc, grid);
    SetTextAlign(dc, TA_RIGHT | TA_TOP);
    for (int tick = 0; tick < axis.ticks; ++tick) {
        const int y = frame.bottom - 1 - height * tick / (axis.ticks - 1);
        Line(dc, frame.left, y, frame.right, y);
        Text(dc, frame.left - 4, y - lineHeight / 2, Number(axis.Step() * tick, axis.decimals));
    }
    SetTextAlign(dc, TA_CENTER | TA_TOP);
    const int steps = RateHistory::kTimeTicks - 1;
    for (int tick = 0; tick <= steps; ++tick) {
        const int x = frame.left + width * tick / steps;
        Line(dc, x, frame.top, x, frame.bottom);
        const double seconds = history.WindowStart() + RateHistory::kWindowSeconds * tick / steps;
        Text(dc, x, frame.bottom + 2, Number(seconds, 0));
    }
    Text(dc, (frame.left + frame.right) / 2, frame.bottom + 2 + lineHeight + 2, "seconds since Go");
    SetTextAlign(dc, TA_LEFT | TA_TOP);
    Text(dc, 0, 0, "MB/s");
    SelectObject(dc, previous);
    DeleteObject(grid);
    FrameRect(dc, &frame, GetSysColorBrush(COLOR_3DSHADOW));
}

void DrawLine(HDC dc, const RECT& frame, const RateHistory& history, const RateAxis& axis) {
    const PlotArea area{frame.left + 1, frame.top + 1, frame.right - frame.left - 2,
                        frame.bottom - frame.top - 2};
    const std::vector<PlotPoint> points = PlotPoints(history, axis, area);
    if (points.empty())
        return;
    std::vector<POINT> line;
    line.reserve(points.size());
    for (const PlotPoint& point : points) line.push_back({point.x, point.y});
    // A lone point has no segment to draw: it is drawn as a dot of the line's width.
    if (line.size() == 1)
        line.push_back({line[0].x + 1, line[0].y});
    HPEN pen = CreatePen(PS_SOLID, kLineWidth, kRateLineColour);
    HGDIOBJ previous = SelectObject(dc, pen);
    const int saved = SaveDC(dc);
    IntersectClipRect(dc, area.left, area.top, area.left + area.width, area.top + area.height);
    Polyline(dc, line.data(), static_cast<int>(line.size()));
    RestoreDC(dc, saved);
    SelectObject(dc, previous);
    DeleteObject(pen);
}

void Draw(HDC dc, const RECT& client, const ChartWindow& chart) {
    FillRect(dc, &client, GetSysColorBrush(COLOR_3DFACE));
    if (chart.history == nullptr)
        return;
    HGDIOBJ previousFont =
        SelectObject(dc, chart.font != nullptr ? chart.font : GetStockObject(DEFAULT_GUI_FONT));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    const RateAxis axis = chart.history->Axis();
    const RECT frame = PlotFrame(dc, client, axis);
    if (frame.right - frame.left > 4 && frame.bottom - frame.top > 4) {
        FillRect(dc, &frame, GetSysColorBrush(COLOR_WINDOW));
        DrawAxes(dc, frame, *chart.history, axis);
        DrawLine(dc, frame, *chart.history, axis);
    }
    SelectObject(dc, previousFont);
}

// Drawn whole into a bitmap first and then copied in one go, so that the once-a-second
// redraw never shows a half-drawn chart.
void Paint(HWND window, const ChartWindow& chart) {
    PAINTSTRUCT paint;
    HDC screen = BeginPaint(window, &paint);
    RECT client;
    GetClientRect(window, &client);
    const int width = client.right - client.left;
    const int height = client.bottom - client.top;
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = memory != nullptr ? CreateCompatibleBitmap(screen, width, height) : nullptr;
    if (bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        Draw(memory, client, chart);
        BitBlt(screen, 0, 0, width, height, memory, 0, 0, SRCCOPY);
        SelectObject(memory, previous);
        DeleteObject(bitmap);
    } else {
        Draw(screen, client, chart);  // short of memory: drawn directly, with flicker
    }
    if (memory != nullptr)
        DeleteDC(memory);
    EndPaint(window, &paint);
}

LRESULT CALLBACK ChartProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        auto* chart = new ChartWindow;
        chart->history = static_cast<const RateHistory*>(create->lpCreateParams);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(chart));
        return DefWindowProcA(window, message, wParam, lParam);
    }
    ChartWindow* chart = StateOf(window);
    if (chart == nullptr)
        return DefWindowProcA(window, message, wParam, lParam);
    switch (message) {
        case WM_NCDESTROY:
            SetWindowLongPtrA(window, GWLP_USERDATA, 0);
            delete chart;
            return 0;
        case WM_SETFONT:
            chart->font = reinterpret_cast<HFONT>(wParam);
            if (LOWORD(lParam) != 0)
                InvalidateRect(window, nullptr, FALSE);
            return 0;
        case WM_GETFONT:
            return reinterpret_cast<LRESULT>(chart->font);
        case WM_ERASEBKGND:
            return 1;  // the paint covers every pixel
        case WM_PAINT:
            Paint(window, *chart);
            return 0;
        case WM_PRINTCLIENT: {
            RECT client;
            GetClientRect(window, &client);
            Draw(reinterpret_cast<HDC>(wParam), client, *chart);
            return 0;
        }
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool RegisterChartClass() {
    static const bool registered = [] {
        WNDCLASSA kind{};
        kind.style = CS_HREDRAW | CS_VREDRAW;
        kind.lpfnWndProc = &ChartProc;
        kind.hInstance = GetModuleHandleA(nullptr);
        kind.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        kind.lpszClassName = kClassName;
        return RegisterClassA(&kind) != 0;
    }();
    return registered;
}

}  // namespace

HWND CreateRateChart(HWND parent, int id, const RECT& area, const RateHistory& history) {
    if (!RegisterChartClass())
        return nullptr;
    HWND chart = CreateWindowExA(0, kClassName, "", WS_CHILD | WS_VISIBLE, area.left, area.top,
                                 area.right - area.left, area.bottom - area.top, parent,
                                 reinterpret_cast<HMENU>(static_cast<UINT_PTR>(id)),
                                 GetModuleHandleA(nullptr), const_cast<RateHistory*>(&history));
    if (chart != nullptr)
        SendMessageA(chart, WM_SETFONT, SendMessageA(parent, WM_GETFONT, 0, 0), FALSE);
    return chart;
}
