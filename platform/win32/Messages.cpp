// The front end's message box on Windows; the rest of the message machinery is the system's.
#include "platform/Messages.h"

#include <mutex>
#include <utility>

#include "platform/detail/UnattendedMessageBox.h"

namespace {

std::mutex gHandlerMutex;
platform::MessageBoxHandler gHandler;
platform::BeforeSleepHook gBeforeSleep = nullptr;

}  // namespace

namespace platform {

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard<std::mutex> lock(gHandlerMutex);
    return std::exchange(gHandler, std::move(handler));
}

// A console program has nobody to answer a box: the text goes to stderr and the answer is
// that of a user who cannot answer. The dialog installs a handler that shows the real box.
int DefaultMessageBox(HWND, LPCSTR text, LPCSTR caption, UINT type) {
    return detail::AnswerUnattended(text, caption, type);
}

int ShowMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    MessageBoxHandler handler;
    {
        std::lock_guard<std::mutex> lock(gHandlerMutex);
        handler = gHandler;
    }
    return handler ? handler(owner, text, caption, type)
                   : DefaultMessageBox(owner, text, caption, type);
}

void WakeAllMessageQueues() {}

void SetBeforeSleepHook(BeforeSleepHook hook) {
    gBeforeSleep = hook;
}

}  // namespace platform
