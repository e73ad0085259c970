#pragma once
// Message queues, windows and timers are Windows' own. Ours: the front end's message box (a
// headless run must not open a modal box nobody can answer), and the few calls the Linux
// build needs to wake its queues, which do little here.
#include <functional>

#include "platform/Win32Api.h"

namespace platform {

// The front end's message box. It is called on the thread that called MessageBoxA.
using MessageBoxHandler = std::function<int(HWND owner, LPCSTR text, LPCSTR caption, UINT type)>;
// Installs the handler (an empty one restores the default) and returns the previous one.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);
// Without a handler: the text goes to stderr and the answer refuses when it may (IDOK for
// MB_OK, otherwise IDCANCEL, IDNO or IDABORT), as from a user who cannot answer.
int DefaultMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
// What MessageBoxA means in this program: the installed handler, else the system's box.
int ShowMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

// Windows' timers run on the system clock, which the test clock does not move: nothing to
// wake. Kept so that the callers read the same on both systems.
void WakeAllMessageQueues();

// Windows' GetMessageA has no hook before it sleeps; the trace log's own writer thread puts
// pending lines out in time. The hook is kept and never called.
using BeforeSleepHook = void (*)();
void SetBeforeSleepHook(BeforeSleepHook hook);

}  // namespace platform

// Every message box of the program goes through the front end's handler; (MessageBoxA)(...)
// still reaches the system's.
#define MessageBoxA(owner, text, caption, type) platform::ShowMessageBox(owner, text, caption, type)
