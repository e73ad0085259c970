#include "net/HiddenWindow.h"

#include <cstdio>

namespace {

// Registration happens on the engine thread only, so the flag needs no lock.
bool g_ClassRegistered = false;

constexpr WORD kCommandOk = 1;
constexpr WORD kCommandCancel = 2;
constexpr size_t kMessageTextSize = 128;

HiddenWindow* OwnerOf(HWND hwnd) {
    return reinterpret_cast<HiddenWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

}  // namespace

HiddenWindow::HiddenWindow() = default;

HiddenWindow::~HiddenWindow() {
    // Cleared first: the WM_DESTROY below must not delete this object a second time.
    m_bDeleteOnDestroy = false;
    if (m_hWnd != nullptr) {
        DestroyWindow(m_hWnd);
        m_hWnd = nullptr;
    }
}

LRESULT HiddenWindow::OnDestroy(HWND, WPARAM, LPARAM) {
    return 0;
}

LRESULT HiddenWindow::OnCreate(HWND, WPARAM, LPARAM) {
    return 0;
}

LRESULT HiddenWindow::OnCommand(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const WORD command = LOWORD(wParam);
    if (command == kCommandOk || command == kCommandCancel) {
        DestroyWindow(hwnd);
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

LRESULT HiddenWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

bool HiddenWindow::RegisterWindowClass() {
    if (g_ClassRegistered) {
        return true;
    }
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(WNDCLASSEXA);
    windowClass.style = CS_OWNDC;
    windowClass.lpfnWndProc = &HiddenWindow::StaticWndProc;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = 0;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.hIcon = nullptr;
    windowClass.hIconSm = nullptr;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(LTGRAY_BRUSH));
    windowClass.lpszMenuName = nullptr;
    windowClass.lpszClassName = kWindowClassName;
    if (RegisterClassExA(&windowClass) == 0) {
        char text[kMessageTextSize];
        std::snprintf(text, sizeof text, "Error #%d", static_cast<int>(GetLastError()));
        MessageBoxA(nullptr, text, "RegisterClass", MB_OK);
        return false;
    }
    g_ClassRegistered = true;
    return true;
}

HWND HiddenWindow::Create(const char* /*classLabel*/, const char* windowName, DWORD style,
                          const RECT& rect, HWND parent, HMENU menu) {
    RegisterWindowClass();
    // A creation that fails after WM_CREATE destroys the window at once; that must not delete
    // an object that is still being constructed (possibly not even on the heap).
    const bool deleteOnDestroy = m_bDeleteOnDestroy;
    m_bDeleteOnDestroy = false;
#ifdef _WIN32
    // Without a parent the window is message-only: it is never shown and needs no desktop, so
    // a console program works where there is none (a service, Wine without a display).
    HWND const owner = parent != nullptr ? parent : HWND_MESSAGE;
#else
    HWND const owner = parent;
#endif
    HWND hwnd = CreateWindowExA(0, kWindowClassName, windowName, style, rect.left, rect.top,
                                rect.right - rect.left, rect.bottom - rect.top, owner, menu,
                                GetModuleHandleA(nullptr), this);
    m_bDeleteOnDestroy = deleteOnDestroy;
    if (hwnd == nullptr) {
        char text[kMessageTextSize];
        std::snprintf(text, sizeof text, "CreateWindowEx error #%d",
                      static_cast<int>(GetLastError()));
        MessageBoxA(parent, text, "CreateWindow", MB_OK);
    }
    m_hWnd = hwnd;
    return hwnd;
}

LRESULT CALLBACK HiddenWindow::StaticWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE && lParam != 0) {
        const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
        auto* owner = static_cast<HiddenWindow*>(create->lpCreateParams);
        SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
        if (owner != nullptr) {
            owner->m_hWnd = hwnd;
        }
    }
    HiddenWindow* owner = OwnerOf(hwnd);
    if (owner == nullptr) {
        return DefWindowProcA(hwnd, message, wParam, lParam);
    }
    switch (message) {
        case WM_CREATE:
            return owner->OnCreate(hwnd, wParam, lParam);
        case WM_DESTROY: {
            const LRESULT result = owner->OnDestroy(hwnd, wParam, lParam);
            owner->m_hWnd = nullptr;
            SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
            if (owner->m_bDeleteOnDestroy) {
                delete owner;
            }
            return result;
        }
        case WM_COMMAND:
            return owner->OnCommand(hwnd, WM_COMMAND, wParam, lParam);
        default:
            return owner->WindowProc(hwnd, message, wParam, lParam);
    }
}

bool HiddenWindow::IsClassRegistered() {
    return g_ClassRegistered;
}

void HiddenWindow::ForgetClassRegistration() {
    g_ClassRegistered = false;
}
