#include "support/MutexHandle.h"

MutexHandle::MutexHandle() : m_hMutex(CreateMutexA(nullptr, FALSE, nullptr)) {}

MutexHandle::~MutexHandle() {
    if (m_hMutex != nullptr)
        CloseHandle(m_hMutex);
}

DWORD MutexHandle::Wait(int milliseconds) {
    const DWORD timeout = milliseconds < 0 ? INFINITE : static_cast<DWORD>(milliseconds);
    return WaitForSingleObject(m_hMutex, timeout);
}

bool MutexHandle::Lock(int milliseconds) {
    return Wait(milliseconds) == WAIT_OBJECT_0;
}

void MutexHandle::Unlock() {
    ReleaseMutex(m_hMutex);
}
