#include "engine/QWThread.h"

#include "engine/QW.h"
#include "support/Log.h"

namespace {
constexpr WORD kWinsock22 = 0x0202;
constexpr WORD kWinsock20 = 0x0002;
constexpr WORD kWinsock11 = 0x0101;
// Posted messages are served in order, so a stop request queued behind a flood of socket
// notifications would wait for all of them. After this many messages the loop looks for the
// stop request, then for a due timer, ahead of the rest.
constexpr int kMessagesBetweenStopChecks = 16;
// A window filter that selects thread messages only.
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

// Takes a queued stop request (WM_CLOSE to the thread) or quit, if there is one.
bool StopRequestQueued() {
    MSG stop;
    return PeekMessageA(&stop, kThreadMessagesOnly, WM_CLOSE, WM_QUIT, PM_REMOVE) != FALSE &&
           (stop.message == WM_CLOSE || stop.message == WM_QUIT);
}

// Takes a due timer's message, if there is one. Windows makes WM_TIMER only when no posted
// message waits, so under a steady flood of socket notifications the engine's tick (the rate,
// the connections' time-outs and retry delays) would never come; asked for alone, a due
// timer is made at once.
bool DueTimerQueued(MSG* timer) {
    return PeekMessageA(timer, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE) != FALSE;
}

bool StartSocketLibrary() {
    WSADATA data;
    if (WSAStartup(kWinsock22, &data) == 0) {
        return true;
    }
    ErrorLogPrintf("%T: Error: Unable to initialize WINSOCK 2.2\n");
    if (WSAStartup(kWinsock20, &data) == 0) {
        return true;
    }
    ErrorLogPrintf("%T: Error: Unable to initialize WINSOCK 2.0\n");
    if (WSAStartup(kWinsock11, &data) == 0) {
        return true;
    }
    MessageBoxA(nullptr, "Could not initialize WINSOCK 1.1.  Exiting.", "Quorrel - Error", MB_OK);
    return false;
}
}  // namespace

bool CQWThread::OnInitInstance() {
    DebugLogPrintf("%T: OnInitInstance - ThreadId %d\n", ThreadIdForTrace());
    if (!StartSocketLibrary()) {
        return false;
    }
    DebugLogPrintf("OnInitInstance - Allocating m_pQW\n");
    m_pQW = new CQW();
    m_pQW->SetMonitor(m_monitor);
    m_pQW->JoinGroup(m_groupCounters, m_engineIndex, m_firstConnectionNumber);
    m_pQW->ConnectionOptions = m_connectionOptions;
    m_counters = m_pQW->Counters();
    return true;
}

void CQWThread::JoinGroup(std::shared_ptr<EngineCounters> counters, std::size_t engineIndex,
                          std::int32_t firstConnectionNumber) {
    m_groupCounters = std::move(counters);
    m_engineIndex = engineIndex;
    m_firstConnectionNumber = firstConnectionNumber;
}

void CQWThread::SetMonitor(std::shared_ptr<EngineMonitor> monitor) {
    if (monitor) {
        m_monitor = std::move(monitor);
    }
}

bool CQWThread::OnExitInstance() {
    DebugLogPrintf("%T: OnExitInstance - Deleting m_pQW.  ThreadId %d\n", ThreadIdForTrace());
    if (m_pQW != nullptr) {
        delete m_pQW;
        m_pQW = nullptr;
    }
    WSACleanup();
    FlushDebugLog();
    return true;
}

int CQWThread::Run() {
    MSG message;
    for (int served = 1;; ++served) {
        bool timerFirst = false;
        if (served % kMessagesBetweenStopChecks == 0) {
            if (StopRequestQueued()) {
                break;
            }
            timerFirst = DueTimerQueued(&message);
        }
        if (!timerFirst) {
            const BOOL got = GetMessageA(&message, nullptr, 0, 0);
            if (got == 0 || got == -1) {
                break;  // WM_QUIT (also what a thread given up on receives), or a broken queue
            }
        }
        if (message.hwnd == nullptr && message.message == WM_CLOSE) {
            break;  // the stop request; a WM_CLOSE to one of our windows is dispatched
        }
        if (IsThreadTerminated()) {
            break;  // Stop gave this thread up: serve nothing more, just clean up
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}
