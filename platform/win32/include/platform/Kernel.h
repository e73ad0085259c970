#pragma once
// On Windows mutexes, events, threads and waits are the system's own. Only the question the
// engine asks of a thread that Stop gave up on is ours: Windows' TerminateThread really ends
// the thread, so code that still runs was never given up on.
#include "platform/Win32Api.h"

inline bool IsThreadTerminated() {
    return false;
}
