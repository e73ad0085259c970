// Handles, waits, last error, thread ids and sleeping. Mutexes, events and threads are in
// KernelMutex.cpp, KernelEvent.cpp and KernelThread.cpp.
#include "platform/Kernel.h"

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/detail/KernelObject.h"

namespace {
thread_local DWORD tLastError = 0;
thread_local DWORD tThreadId = 0;
std::atomic<DWORD> gLastThreadId{0};
}  // namespace

namespace platform {

DWORD AllocateThreadId() {
    return ++gLastThreadId;
}

// The id a thread started by _beginthreadex was given before it ran.
void AdoptThreadId(DWORD id) {
    tThreadId = id;
}

}  // namespace platform

DWORD GetLastError() {
    return tLastError;
}

void SetLastError(DWORD error) {
    tLastError = error;
}

DWORD GetCurrentThreadId() {
    if (tThreadId == 0)
        tThreadId = platform::AllocateThreadId();
    return tThreadId;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    std::shared_ptr<KernelObject> object = platform::FindKernelObject(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return object->Wait(milliseconds);
}

BOOL CloseHandle(HANDLE handle) {
    std::shared_ptr<KernelObject> object = platform::UnregisterKernelObject(handle);
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!object->Close()) {
        platform::RestoreKernelObject(handle, std::move(object));
        return FALSE;
    }
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}
