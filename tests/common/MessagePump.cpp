#include "tests/common/MessagePump.h"

#include <algorithm>
#include <thread>

#include "platform/windows.h"

namespace {

// How long the pump sleeps in the queue before it looks at the condition again.
constexpr std::chrono::milliseconds kLookAgain{5};

}  // namespace

void DispatchPending() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds patience) {
    const auto giveUp = std::chrono::steady_clock::now() + patience;
    for (;;) {
        DispatchPending();
        if (done())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            giveUp - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const auto wait = std::min(left, kLookAgain);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(wait.count()),
                                  QS_ALLINPUT);
    }
}

void PumpFor(std::chrono::milliseconds span) {
    PumpUntil([] { return false; }, span);
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds patience) {
    const auto giveUp = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

SocketLibrary::SocketLibrary() {
    WSADATA data;
    m_started = WSAStartup(0x0202, &data) == 0;
}

SocketLibrary::~SocketLibrary() {
    if (m_started)
        WSACleanup();
}
