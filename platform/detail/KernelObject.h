#pragma once
// The handle table behind every kernel HANDLE. Handles are drawn from a counter and never
// reused; an object lives while its handle is open or while someone still uses it (a
// waiter, the thread that runs in it).
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "platform/Kernel.h"

struct KernelObject {
    virtual ~KernelObject() = default;
    // Releases what the object holds when its handle is closed; false when that fails
    // (the handle then stays open).
    virtual bool Close() { return true; }
    // Waits until the object is signalled; objects that cannot be waited on fail.
    virtual DWORD Wait(DWORD milliseconds);
};

namespace platform {

HANDLE RegisterKernelObject(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> FindKernelObject(HANDLE handle);
// Removes the handle from the table and gives back its object (null when unknown).
std::shared_ptr<KernelObject> UnregisterKernelObject(HANDLE handle);
// Puts an object back under its handle (after a failed Close).
void RestoreKernelObject(HANDLE handle, std::shared_ptr<KernelObject> object);

template <class T>
std::shared_ptr<T> FindKernelObjectAs(HANDLE handle) {
    return std::dynamic_pointer_cast<T>(FindKernelObject(handle));
}

// Waits on cv until ready() holds or the time-out (INFINITE: none) runs out, measured on
// the steady clock. True when ready() holds.
template <class Ready>
bool WaitWithTimeout(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                     DWORD milliseconds, Ready ready) {
    if (milliseconds == INFINITE) {
        cv.wait(lock, ready);
        return true;
    }
    return cv.wait_for(lock, std::chrono::milliseconds(milliseconds), ready);
}

}  // namespace platform
