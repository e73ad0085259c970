#include "platform/Messages.h"

#include <algorithm>
#include <cctype>

#include "platform/Kernel.h"
#include "platform/LeakCounts.h"
#include "platform/detail/MessageQueue.h"
#include "platform/detail/UnattendedMessageBox.h"

namespace platform::detail {
namespace {

constexpr DWORD kErrorInvalidWindowHandle = 1400;
constexpr DWORD kErrorCannotFindClass = 1407;
constexpr DWORD kErrorClassAlreadyExists = 1410;
constexpr DWORD kErrorAccessDenied = 5;
constexpr DWORD kErrorInvalidThreadId = 1444;
constexpr DWORD kErrorNotEnoughMemory = 8;

// Window handles start well away from small integers and are never handed out twice.
std::atomic<std::uintptr_t> gNextWindowHandle{0x00010000};

std::mutex gWindowsMutex;
std::unordered_map<std::uintptr_t, std::shared_ptr<WindowRecord>>& Windows() {
    static auto* windows = new std::unordered_map<std::uintptr_t, std::shared_ptr<WindowRecord>>();
    return *windows;
}

std::mutex gClassesMutex;
std::unordered_map<std::string, WNDPROC>& Classes() {
    static auto* classes = new std::unordered_map<std::string, WNDPROC>();
    return *classes;
}

std::string ClassKey(LPCSTR name) {
    std::string key = name != nullptr ? name : "";
    std::transform(key.begin(), key.end(), key.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return key;
}

ATOM RegisterClassProcedure(LPCSTR name, WNDPROC procedure) {
    if (name == nullptr || *name == '\0' || procedure == nullptr) {
        SetLastError(87);  // ERROR_INVALID_PARAMETER
        return 0;
    }
    std::lock_guard<std::mutex> lock(gClassesMutex);
    auto [entry, inserted] = Classes().emplace(ClassKey(name), procedure);
    if (!inserted) {
        SetLastError(kErrorClassAlreadyExists);
        return 0;
    }
    // Any non-zero value identifies a registered class; callers only test for zero.
    return static_cast<ATOM>(0xC000 + (Classes().size() & 0x3FFF));
}

WNDPROC FindClassProcedure(LPCSTR name) {
    std::lock_guard<std::mutex> lock(gClassesMutex);
    auto found = Classes().find(ClassKey(name));
    return found == Classes().end() ? nullptr : found->second;
}

void RemoveWindowRecord(const std::shared_ptr<WindowRecord>& record) {
    record->alive.store(false);
    std::lock_guard<std::mutex> lock(gWindowsMutex);
    Windows().erase(reinterpret_cast<std::uintptr_t>(record->handle));
}

// The record of a window the calling thread owns, or null (last error set).
std::shared_ptr<WindowRecord> OwnWindow(HWND hwnd) {
    auto record = FindWindow(hwnd);
    if (!record) {
        SetLastError(kErrorInvalidWindowHandle);
        return nullptr;
    }
    if (record->ownerThread != GetCurrentThreadId()) {
        SetLastError(kErrorAccessDenied);
        return nullptr;
    }
    return record;
}

// Dispatch asks for the record of the message just retrieved; the queue keeps the last one,
// which spares a second look-up in the shared table for the common case.
std::shared_ptr<WindowRecord> RecordForDispatch(HWND hwnd) {
    ThreadQueue* queue = CurrentQueue();
    if (queue == nullptr)
        return FindWindow(hwnd);
    auto& cached = queue->DispatchCache();
    if (cached && cached->handle == hwnd && cached->alive.load())
        return cached;
    cached = FindWindow(hwnd);
    return cached;
}

std::mutex gMessageBoxMutex;
MessageBoxHandler& InstalledMessageBoxHandler() {
    static auto* handler = new MessageBoxHandler();
    return *handler;
}

}  // namespace

std::shared_ptr<WindowRecord> FindWindow(HWND hwnd) {
    if (hwnd == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(gWindowsMutex);
    auto found = Windows().find(reinterpret_cast<std::uintptr_t>(hwnd));
    return found == Windows().end() ? nullptr : found->second;
}

void ForgetWindowsOfThread(DWORD threadId) {
    std::vector<std::shared_ptr<WindowRecord>> gone;
    {
        std::lock_guard<std::mutex> lock(gWindowsMutex);
        for (auto entry = Windows().begin(); entry != Windows().end();) {
            if (entry->second->ownerThread == threadId) {
                gone.push_back(entry->second);
                entry = Windows().erase(entry);
            } else {
                ++entry;
            }
        }
    }
    for (const auto& record : gone) record->alive.store(false);
}

}  // namespace platform::detail

using platform::detail::CurrentQueue;
using platform::detail::FindWindow;
using platform::detail::QueuedMessage;
using platform::detail::WindowRecord;

// --- Message queues ---------------------------------------------------------------------

BOOL PeekMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
    auto* queue = CurrentQueue();
    if (queue == nullptr || msg == nullptr)
        return FALSE;
    return queue->Retrieve(msg, hwnd, filterMin, filterMax, (removeFlags & PM_REMOVE) != 0, false)
               ? TRUE
               : FALSE;
}

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    auto* queue = CurrentQueue();
    if (queue == nullptr || msg == nullptr)
        return -1;
    if (hwnd != nullptr && hwnd != reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1)) &&
        !IsWindow(hwnd)) {
        SetLastError(platform::detail::kErrorInvalidWindowHandle);
        return -1;
    }
    // A thread that was given up on by TerminateThread leaves its loop at once.
    if (IsThreadTerminated() || !queue->Retrieve(msg, hwnd, filterMin, filterMax, true, true) ||
        IsThreadTerminated()) {
        *msg = MSG{};
        msg->message = WM_QUIT;
    }
    return msg->message == WM_QUIT ? 0 : 1;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE*, BOOL, DWORD milliseconds, DWORD) {
    if (count != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    platform::detail::ThreadQueue* queue = platform::detail::CurrentQueue();
    if (queue == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return WAIT_FAILED;
    }
    const int timeoutMs = milliseconds == INFINITE ? -1 : static_cast<int>(std::min<DWORD>(
                                                              milliseconds, 0x7FFFFFFF));
    return queue->WaitForInput(timeoutMs) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (msg == nullptr)
        return 0;
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        // A timer with its own procedure: call it, unless the timer was killed meanwhile.
        auto* queue = CurrentQueue();
        if (queue == nullptr || !queue->HasTimer(msg->hwnd, msg->wParam))
            return 0;
        reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    if (msg->hwnd == nullptr)
        return 0;
    auto record = platform::detail::RecordForDispatch(msg->hwnd);
    if (!record || record->ownerThread != GetCurrentThreadId())
        return 0;
    if (msg->message == WM_TIMER) {
        auto* queue = CurrentQueue();
        if (queue == nullptr || !queue->HasTimer(msg->hwnd, msg->wParam))
            return 0;
    }
    return record->procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (hwnd == nullptr) {
        return PostThreadMessageA(GetCurrentThreadId(), message, wParam, lParam);
    }
    auto record = FindWindow(hwnd);
    auto queue = record ? record->queue.lock() : nullptr;
    if (!queue) {
        SetLastError(platform::detail::kErrorInvalidWindowHandle);
        return FALSE;
    }
    QueuedMessage queued;
    queued.msg.hwnd = hwnd;
    queued.msg.message = message;
    queued.msg.wParam = wParam;
    queued.msg.lParam = lParam;
    queued.window = std::move(record);
    return queue->Post(std::move(queued)) ? TRUE : FALSE;
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    auto queue = platform::detail::QueueOfThread(threadId);
    if (!queue && threadId == GetCurrentThreadId())
        queue = platform::detail::CurrentQueueShared();
    if (!queue) {
        SetLastError(platform::detail::kErrorInvalidThreadId);
        return FALSE;
    }
    QueuedMessage queued;
    queued.msg.message = message;
    queued.msg.wParam = wParam;
    queued.msg.lParam = lParam;
    if (!queue->Post(std::move(queued))) {
        SetLastError(platform::detail::kErrorInvalidThreadId);
        return FALSE;
    }
    return TRUE;
}

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto record = platform::detail::OwnWindow(hwnd);
    return record ? record->procedure(hwnd, message, wParam, lParam) : 0;
}

LRESULT DefWindowProcA(HWND hwnd, UINT message, WPARAM, LPARAM) {
    switch (message) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        default:
            return 0;
    }
}

// --- Windows -----------------------------------------------------------------------------

ATOM RegisterClassExA(const WNDCLASSEXA* windowClass) {
    if (windowClass == nullptr || windowClass->cbSize != sizeof(WNDCLASSEXA)) {
        SetLastError(87);
        return 0;
    }
    return platform::detail::RegisterClassProcedure(windowClass->lpszClassName,
                                                    windowClass->lpfnWndProc);
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE) {
    std::lock_guard<std::mutex> lock(platform::detail::gClassesMutex);
    return platform::detail::Classes().erase(platform::detail::ClassKey(className)) > 0 ? TRUE
                                                                                        : FALSE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    const WNDPROC procedure = platform::detail::FindClassProcedure(className);
    if (procedure == nullptr) {
        SetLastError(platform::detail::kErrorCannotFindClass);
        return nullptr;
    }
    auto queue = platform::detail::CurrentQueueShared();
    if (!queue) {
        SetLastError(platform::detail::kErrorNotEnoughMemory);
        return nullptr;
    }
    auto record = std::make_shared<WindowRecord>();
    record->handle = reinterpret_cast<HWND>(platform::detail::gNextWindowHandle.fetch_add(1));
    record->ownerThread = GetCurrentThreadId();
    record->queue = queue;
    record->procedure = procedure;
    {
        std::lock_guard<std::mutex> lock(platform::detail::gWindowsMutex);
        platform::detail::Windows()[reinterpret_cast<std::uintptr_t>(record->handle)] = record;
    }
    CREATESTRUCTA create{};
    create.lpCreateParams = param;
    create.hInstance = instance;
    create.hMenu = menu;
    create.hwndParent = parent;
    create.cy = height;
    create.cx = width;
    create.y = y;
    create.x = x;
    create.style = static_cast<LONG>(style);
    create.lpszName = windowName;
    create.lpszClass = className;
    create.dwExStyle = exStyle;
    const HWND hwnd = record->handle;
    const LPARAM createParam = reinterpret_cast<LPARAM>(&create);
    if (procedure(hwnd, WM_NCCREATE, 0, createParam) == FALSE) {
        platform::detail::RemoveWindowRecord(record);
        return nullptr;
    }
    if (procedure(hwnd, WM_CREATE, 0, createParam) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    return record->alive.load() ? hwnd : nullptr;
}

BOOL DestroyWindow(HWND hwnd) {
    auto record = platform::detail::OwnWindow(hwnd);
    if (!record || record->destroying)
        return FALSE;
    record->destroying = true;
    if (auto* queue = CurrentQueue())
        queue->StopTimersOf(hwnd);
    record->procedure(hwnd, WM_DESTROY, 0, 0);
    record->procedure(hwnd, WM_NCDESTROY, 0, 0);
    platform::detail::RemoveWindowRecord(record);
    return TRUE;
}

BOOL IsWindow(HWND hwnd) {
    return FindWindow(hwnd) ? TRUE : FALSE;
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
    auto record = FindWindow(hwnd);
    if (!record || index != GWLP_USERDATA) {
        SetLastError(record ? 1413 /* ERROR_INVALID_INDEX */
                            : platform::detail::kErrorInvalidWindowHandle);
        return 0;
    }
    return record->userData.exchange(value);
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
    auto record = FindWindow(hwnd);
    if (!record || index != GWLP_USERDATA) {
        SetLastError(record ? 1413 : platform::detail::kErrorInvalidWindowHandle);
        return 0;
    }
    return record->userData.load();
}

BOOL SetWindowTextA(HWND hwnd, LPCSTR) {
    return IsWindow(hwnd);
}

HINSTANCE GetModuleHandleA(LPCSTR moduleName) {
    static char module = 0;
    return moduleName == nullptr ? static_cast<HINSTANCE>(&module) : nullptr;
}

HCURSOR LoadCursorA(HINSTANCE, LPCSTR) {
    return nullptr;
}

HGDIOBJ GetStockObject(int) {
    return nullptr;
}

// --- Timers ------------------------------------------------------------------------------

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    if (!platform::detail::OwnWindow(hwnd))
        return 0;
    auto* queue = CurrentQueue();
    if (queue == nullptr)
        return 0;
    queue->StartTimer(hwnd, id, elapseMs, proc);
    return id != 0 ? id : 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    auto* queue = CurrentQueue();
    return queue != nullptr && queue->StopTimer(hwnd, id) ? TRUE : FALSE;
}

// --- Message boxes -----------------------------------------------------------------------

namespace platform {

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard<std::mutex> lock(detail::gMessageBoxMutex);
    MessageBoxHandler previous = std::move(detail::InstalledMessageBoxHandler());
    detail::InstalledMessageBoxHandler() = std::move(handler);
    return previous;
}

std::size_t LiveWindowCount() {
    std::lock_guard<std::mutex> lock(detail::gWindowsMutex);
    return detail::Windows().size();
}

int DefaultMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    return detail::AnswerUnattended(text, caption, type);
}

}  // namespace platform

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    platform::MessageBoxHandler handler;
    {
        std::lock_guard<std::mutex> lock(platform::detail::gMessageBoxMutex);
        handler = platform::detail::InstalledMessageBoxHandler();
    }
    if (!handler)
        return platform::DefaultMessageBox(owner, text, caption, type);
    return handler(owner, text, caption, type);
}
