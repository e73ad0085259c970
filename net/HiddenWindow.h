#pragma once
// Base class of every object that receives window messages on the engine thread: socket
// notifications, host-lookup results and timer ticks all arrive at a hidden window, and one
// window procedure routes them to the object that owns the window.
#include "platform/Assert.h"
#include "platform/windows.h"

class HiddenWindow {
public:
    // The one window class every hidden window of the program belongs to.
    static constexpr const char* kWindowClassName = "DUZidWebSocket";

    HiddenWindow();
    // Destroys the window (if any) without deleting the object a second time.
    virtual ~HiddenWindow();

    HiddenWindow(const HiddenWindow&) = delete;
    HiddenWindow& operator=(const HiddenWindow&) = delete;

    virtual LRESULT OnDestroy(HWND hwnd, WPARAM wParam, LPARAM lParam);
    virtual LRESULT OnCreate(HWND hwnd, WPARAM wParam, LPARAM lParam);
    // Commands 1 and 2 (OK, Cancel) destroy the window, and with it the object.
    virtual LRESULT OnCommand(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    virtual LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    // Registers the window class once per process; reports a failure in a message box.
    static bool RegisterWindowClass();

    // Creates the hidden window. classLabel is accepted for the callers' benefit only: every
    // window is of kWindowClassName. Returns the window, or null after reporting the failure.
    HWND Create(const char* classLabel, const char* windowName, DWORD style, const RECT& rect,
                HWND parent, HMENU menu);

    // The owned window; null before Create, after a failed Create and after destruction.
    HWND GetWindowHandle() const { return m_hWnd; }
    // The thread that made the object, which its window's messages reach: the only thread
    // that may run it.
    const ThreadOwner& Owner() const { return m_owner; }

    static LRESULT CALLBACK StaticWndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

    // Test hook: lets a test observe or reset whether the class has been registered.
    static bool IsClassRegistered();
    static void ForgetClassRegistration();

private:
    ThreadOwner m_owner;
    HWND m_hWnd = nullptr;
    bool m_bDeleteOnDestroy = true;
};
