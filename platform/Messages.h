#pragma once
// Per-thread message queues, windows, timers and message boxes with the Windows names.
//
// Every thread that peeks, gets or creates a window has one queue. Posting appends from any
// thread and wakes the owner; the owner sleeps in epoll_wait while there is nothing to do.
// Posted messages are retrieved in the order they were posted; a due WM_TIMER is retrieved
// ahead of them, so a stream of socket notifications can never starve a timer. Window
// handles are drawn from a counter and never reused: a message for a destroyed window is
// dropped, and every call with a stale handle fails harmlessly.
#include <functional>

#include "platform/WinTypes.h"

#ifndef CALLBACK
#define CALLBACK
#endif
#ifndef WINAPI
#define WINAPI
#endif

struct HMENU__;
using HMENU = HMENU__*;
struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
using HGDIOBJ = void*;
using ATOM = WORD;

struct POINT {
    LONG x;
    LONG y;
};

struct RECT {
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
using LPMSG = MSG*;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

struct WNDCLASSEXA {
    UINT cbSize;
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
    HICON hIconSm;
};

// What WM_NCCREATE and WM_CREATE carry in lParam.
struct CREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
};

// Window messages.
constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_PAINT = 0x000F;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_ICONERASEBKGND = 0x0027;
constexpr UINT WM_QUERYDRAGICON = 0x0037;
constexpr UINT WM_SETICON = 0x0080;
constexpr UINT WM_NCCREATE = 0x0081;
constexpr UINT WM_NCDESTROY = 0x0082;
constexpr UINT WM_COMMAND = 0x0111;
constexpr UINT WM_SYSCOMMAND = 0x0112;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

// PeekMessageA options.
constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;

// Window class style and long-value index.
constexpr UINT CS_OWNDC = 0x0020;
constexpr int GWLP_USERDATA = -21;

// Message box types and answers.
constexpr UINT MB_OK = 0x00000000;
constexpr UINT MB_OKCANCEL = 0x00000001;
constexpr UINT MB_ABORTRETRYIGNORE = 0x00000002;
constexpr UINT MB_YESNOCANCEL = 0x00000003;
constexpr UINT MB_YESNO = 0x00000004;
constexpr UINT MB_RETRYCANCEL = 0x00000005;
constexpr UINT MB_TYPEMASK = 0x0000000F;
constexpr UINT MB_ICONERROR = 0x00000010;
constexpr UINT MB_ICONQUESTION = 0x00000020;
constexpr UINT MB_ICONWARNING = 0x00000030;
constexpr UINT MB_ICONINFORMATION = 0x00000040;
constexpr UINT MB_ICONMASK = 0x000000F0;
constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDABORT = 3;
constexpr int IDRETRY = 4;
constexpr int IDIGNORE = 5;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

// Resources that only matter on a desktop; hidden windows accept and ignore them.
constexpr int LTGRAY_BRUSH = 1;
#define IDC_ARROW (reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(32512)))

// --- Message queues ---------------------------------------------------------------------

// Retrieves a message for the calling thread (creating its queue). hwnd null: any message;
// min/max both 0: any number. PM_REMOVE takes it off the queue. FALSE when there is none.
BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);
// Waits until a message is there and takes it. Returns 0 for WM_QUIT, -1 for a bad window
// filter, otherwise non-zero. While it waits the thread sleeps (no polling).
BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax);
// Waits until the calling thread's queue holds a message that PeekMessageA would retrieve (a
// posted or sent message, a due timer, a socket notification) or the time-out has passed:
// WAIT_OBJECT_0 or WAIT_TIMEOUT. No message is taken. Only the wait on the queue itself is
// provided: count must be 0 (otherwise WAIT_FAILED); the wake mask is not looked at.
constexpr DWORD QS_ALLINPUT = 0x04FF;
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask);
// No keyboard input exists here: always FALSE, the message is left unchanged.
BOOL TranslateMessage(const MSG* msg);
// Calls the window procedure of msg->hwnd on the calling thread (which must own it).
// Thread messages (hwnd null), messages for destroyed windows and WM_TIMER of a timer that
// was killed meanwhile are dropped; the result is then 0.
LRESULT DispatchMessageA(const MSG* msg);

// Appends a message to the queue of the window's thread. hwnd null posts to the calling
// thread. FALSE for an unknown or destroyed window.
BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Appends a thread message (hwnd null). FALSE when the thread has no queue (never peeked,
// or ended).
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
// Calls the window procedure at once and returns its result. Only the window's own thread
// may send (nothing here sends across threads): 0 for an unknown window or from another
// thread.
LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// Default handling: WM_CLOSE destroys the window, WM_NCCREATE answers TRUE, the rest 0.
LRESULT DefWindowProcA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

// --- Windows -----------------------------------------------------------------------------

// Records the class (name → procedure) for CreateWindowExA. 0 when the name is taken.
ATOM RegisterClassExA(const WNDCLASSEXA* windowClass);
// Frees the name again (the hidden window's tests take it to make a registration fail).
BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);

// Creates a window owned by the calling thread (creating its queue). The procedure receives
// WM_NCCREATE and WM_CREATE, both with a CREATESTRUCTA whose lpCreateParams is param.
// WM_NCCREATE answering FALSE or WM_CREATE answering -1 fails the creation (null returned;
// a window that got WM_CREATE also gets WM_DESTROY). Unknown class: null.
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
// Sends WM_DESTROY and WM_NCDESTROY, kills the window's timers and forgets the handle.
// Only the owning thread may destroy a window. A second call during its WM_DESTROY: FALSE.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
// GWLP_USERDATA only. The set call returns the previous value.
LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value);
LONG_PTR GetWindowLongPtrA(HWND hwnd, int index);

// Hidden windows ignore the text; kept so that callers read as they would elsewhere.
BOOL SetWindowTextA(HWND hwnd, LPCSTR text);

// A stand-in for the module handle; non-null.
HINSTANCE GetModuleHandleA(LPCSTR moduleName);
HCURSOR LoadCursorA(HINSTANCE instance, LPCSTR cursorName);
HGDIOBJ GetStockObject(int object);

// --- Timers ------------------------------------------------------------------------------

// Starts (or restarts) timer id of the window: WM_TIMER (wParam = id, lParam = proc) is
// retrieved at most once per period, missed ticks coalesced, never faster; dispatching it
// calls proc when there is one, else the window's procedure. Returns id (non-zero) or 0.
// Only timers of a window the calling thread owns: a null window is refused (0). Periods
// below 10 ms are raised to 10 ms. The period runs on the system clock, so a test clock
// (platform/Time.h) moves timers as well.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// --- Message boxes -----------------------------------------------------------------------

// Shows a message box through the installed handler and returns its answer (IDOK, IDYES, …).
// Without a handler the text goes to stderr and the answer is that of a user who cannot
// answer: IDOK for MB_OK, otherwise the refusing choice (IDCANCEL, IDNO, IDABORT).
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

namespace platform {

// The front end's message box. It is called on the thread that called MessageBoxA.
using MessageBoxHandler = std::function<int(HWND owner, LPCSTR text, LPCSTR caption, UINT type)>;
// Installs the handler (an empty one restores the default) and returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
// What MessageBoxA answers without a handler: writes to stderr, refuses when it may.
int DefaultMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Wakes every thread that sleeps in GetMessageA so that it looks at its timers again. Call it
// after moving the test clock.
void WakeAllMessageQueues();

// Wakes one thread sleeping in GetMessageA (for instance one that TerminateThread gave up
// on, so that it sees it has to leave its loop). Unknown threads: nothing happens.
void WakeMessageQueue(DWORD threadId);

// True when the calling thread has a message queue.
bool HasMessageQueue();

// Called by a thread about to sleep in GetMessageA with nothing to do, before it sleeps (the
// trace log writes what it holds then). nullptr removes it. The hook must not wait for other
// threads' queues.
using BeforeSleepHook = void (*)();
void SetBeforeSleepHook(BeforeSleepHook hook);

}  // namespace platform
