// Drives the native dialog of zodiva.exe from another process, as a user would: starts it
// against a news server, waits for the test dialog, types a connection count, presses Go,
// watches the rate, clicks "Click Me" during the download, presses Stop and closes the dialog.
// The process must then end with exit code 0, and its trace log must show the typed number of
// connections and articles received.
//   dialog_driver ZODIVA WORKDIR HOST:PORT
// Exit code 0 when every step did what it should; 1 after one line saying which step failed;
// 2 for wrong arguments. Every wait has a bound, and a zodiva left running is ended.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/win32/resource.h"

namespace {

// Generous bounds: they only stop a hang, they do not measure speed (Wine on a busy machine
// can take many seconds to open the first window of a prefix).
constexpr DWORD kOpenWaitMs = 60000;
constexpr DWORD kAnswerWaitMs = 10000;  // one message to the dialog
constexpr DWORD kRateWaitMs = 30000;    // the rate text to show a download
constexpr DWORD kStopWaitMs = 45000;    // Stop waits up to 30 s for the engine thread
constexpr DWORD kExitWaitMs = 45000;
constexpr DWORD kPollMs = 100;
// Not what the box shows at first (checked), so that the log tells whether the typed number
// was used.
constexpr int kConnections = 5;
constexpr int kClicks = 3;
// The id of a message box's text.
constexpr int kMessageBoxText = 0xFFFF;

struct Failure {
    std::string reason;
};

[[noreturn]] void Fail(const std::string& reason) {
    throw Failure{reason};
}

// Measured on the clock, so that a wait is bounded however long each look inside it takes.
class Deadline {
public:
    explicit Deadline(DWORD milliseconds) : end_(GetTickCount64() + milliseconds) {}
    bool Passed() const { return GetTickCount64() >= end_; }

private:
    ULONGLONG end_;
};

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

// The process under test; ended when the driver gives up on it.
class Child {
public:
    ~Child() {
        if (info_.hProcess == nullptr)
            return;
        if (WaitForSingleObject(info_.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(info_.hProcess, 1);
        CloseHandle(info_.hThread);
        CloseHandle(info_.hProcess);
    }

    void Start(const std::string& program, const std::string& arguments) {
        std::string command = Quoted(program) + " " + arguments;
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                            nullptr, &startup, &info_))
            Fail("cannot start " + program + " (error " + std::to_string(GetLastError()) + ")");
    }

    DWORD Id() const { return info_.dwProcessId; }

    // Returns whether the process ended within `milliseconds`.
    bool Ended(DWORD milliseconds) const {
        return WaitForSingleObject(info_.hProcess, milliseconds) == WAIT_OBJECT_0;
    }

    DWORD ExitCode() const {
        DWORD code = 0;
        GetExitCodeProcess(info_.hProcess, &code);
        return code;
    }

private:
    PROCESS_INFORMATION info_{};
};

// Sends to a window of the other process without waiting on it for ever: a dialog thread that
// stopped handling messages is a failure, not a hang.
LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD milliseconds,
             const std::string& what) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutA(window, message, wParam, lParam, SMTO_ABORTIFHUNG, milliseconds,
                            &result) == 0)
        Fail("the dialog did not answer " + what + " within " +
             std::to_string(milliseconds / 1000) + " s");
    return static_cast<LRESULT>(result);
}

HWND Control(HWND dialog, int id) {
    HWND control = GetDlgItem(dialog, id);
    if (control == nullptr)
        Fail("the dialog has no control " + std::to_string(id));
    return control;
}

// WM_GETTEXT, not GetWindowText: for a window of another process that returns the title
// kept by the system, not an edit control's contents.
std::string TextOf(HWND window, const std::string& what) {
    char text[256] = {};
    Send(window, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text), kAnswerWaitMs,
         "reading " + what);
    return text;
}

std::string ControlText(HWND dialog, int id, const std::string& what) {
    return TextOf(Control(dialog, id), what);
}

// What a button sends its dialog when clicked. (BM_CLICK would go through the button, which
// Windows documents as unreliable for a dialog that is not the active window.)
void Press(HWND dialog, int id, DWORD milliseconds, const std::string& what) {
    Send(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
         reinterpret_cast<LPARAM>(Control(dialog, id)), milliseconds, "pressing " + what);
}

struct ProcessWindows {
    DWORD process = 0;
    HWND dialog = nullptr;  // the test dialog: a dialog with a Go button
    HWND box = nullptr;     // any other dialog, a message box say
};

BOOL CALLBACK NoteWindow(HWND window, LPARAM param) {
    auto& found = *reinterpret_cast<ProcessWindows*>(param);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char name[16] = {};
    if (process != found.process || !IsWindowVisible(window) ||
        GetClassNameA(window, name, sizeof name) == 0 || std::string(name) != "#32770")
        return TRUE;
    (GetDlgItem(window, IDC_GO) != nullptr ? found.dialog : found.box) = window;
    return TRUE;
}

ProcessWindows WindowsOf(const Child& child) {
    ProcessWindows found;
    found.process = child.Id();
    EnumWindows(&NoteWindow, reinterpret_cast<LPARAM>(&found));
    return found;
}

// zodiva reports start failures and engine errors in message boxes; one that appears where
// none should is the reason to give.
void FailOnMessageBox(const Child& child, const std::string& when) {
    const HWND box = WindowsOf(child).box;
    if (box == nullptr)
        return;
    HWND text = GetDlgItem(box, kMessageBoxText);
    Fail("a message box appeared " + when + ": \"" +
         (text != nullptr ? TextOf(text, "the message box") : TextOf(box, "its caption")) + "\"");
}

void FailIfEnded(const Child& child, const std::string& when) {
    if (child.Ended(0))
        Fail("zodiva ended " + when + " (exit code " + std::to_string(child.ExitCode()) + ")");
}

HWND WaitForDialog(const Child& child) {
    for (const Deadline deadline(kOpenWaitMs); !deadline.Passed(); Sleep(kPollMs)) {
        const std::string when = "before its dialog opened";
        FailIfEnded(child, when);
        FailOnMessageBox(child, when);
        if (HWND dialog = WindowsOf(child).dialog)
            return dialog;
    }
    Fail("no dialog appeared within " + std::to_string(kOpenWaitMs / 1000) + " s");
}

void SetConnections(HWND dialog) {
    const std::string count = std::to_string(kConnections);
    if (ControlText(dialog, IDC_CONNECTIONS, "the connections") == count)
        Fail("the connections box shows " + count + " before anything was typed");
    Send(Control(dialog, IDC_CONNECTIONS), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(count.c_str()),
         kAnswerWaitMs, "setting the connections");
    const std::string shown = ControlText(dialog, IDC_CONNECTIONS, "the connections");
    if (shown != count)
        Fail("the connections box shows \"" + shown + "\" after " + count + " was typed");
}

// The rate text the dialog shows once a second while a download runs, "12.34KBps".
double RateOf(const std::string& text) {
    const std::string unit = "KBps";
    if (text.size() <= unit.size() ||
        text.compare(text.size() - unit.size(), unit.size(), unit) != 0)
        return 0.0;
    return std::strtod(text.c_str(), nullptr);
}

// Go has started a download once the rate text shows a rate above zero and has been updated
// at least once more, so the dialog keeps showing the download.
void WaitForRates(const Child& child, HWND dialog) {
    std::string last = ControlText(dialog, IDC_RATE, "the rate");
    bool aboveZero = false;
    int changes = 0;
    for (const Deadline deadline(kRateWaitMs); !deadline.Passed(); Sleep(kPollMs)) {
        const std::string when = "during the download";
        FailIfEnded(child, when);
        FailOnMessageBox(child, when);
        const std::string rate = ControlText(dialog, IDC_RATE, "the rate");
        changes += rate != last ? 1 : 0;
        aboveZero = aboveZero || RateOf(rate) > 0.0;
        last = rate;
        if (aboveZero && changes >= 2)
            return;
    }
    Fail("after Go the rate text showed " +
         std::string(aboveZero ? "" : "no rate above zero and ") + std::to_string(changes) +
         " change(s) in " + std::to_string(kRateWaitMs / 1000) + " s (last \"" + last + "\")");
}

int ClickCount(HWND dialog) {
    return std::atoi(ControlText(dialog, IDC_CLICKCOUNT, "the click count").c_str());
}

// The dialog's thread must stay free for the user while the engine downloads.
void ClickMeDuringDownload(HWND dialog) {
    const int before = ClickCount(dialog);
    for (int i = 0; i < kClicks; ++i) Press(dialog, IDC_CLICKME, kAnswerWaitMs, "Click Me");
    const int after = ClickCount(dialog);
    if (after != before + kClicks)
        Fail("Click Me pressed " + std::to_string(kClicks) + " times moved the count from " +
             std::to_string(before) + " to " + std::to_string(after));
    if (ControlText(dialog, IDC_RATE, "the rate").empty())
        Fail("the download had stopped before Click Me was pressed");
}

// The rate text is emptied at the first tick after the engine has gone.
void StopDownload(HWND dialog) {
    Press(dialog, IDC_STOP, kStopWaitMs, "Stop");
    constexpr DWORD kTickWaitMs = 10000;
    for (const Deadline deadline(kTickWaitMs); !deadline.Passed(); Sleep(kPollMs)) {
        if (ControlText(dialog, IDC_RATE, "the rate").empty())
            return;
    }
    Fail("the rate text still shows a download " + std::to_string(kTickWaitMs / 1000) +
         " s after Stop");
}

// The close box sends WM_CLOSE; the dialog must end the process by itself.
void CloseDialog(const Child& child, HWND dialog) {
    PostMessageA(dialog, WM_CLOSE, 0, 0);
    if (!child.Ended(kExitWaitMs))
        Fail("zodiva still runs " + std::to_string(kExitWaitMs / 1000) + " s after WM_CLOSE");
    if (child.ExitCode() != 0)
        Fail("zodiva ended with exit code " + std::to_string(child.ExitCode()));
}

std::string FileBytes(const std::string& path) {
    std::string bytes;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char block[65536];
        for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;)
            bytes.append(block, got);
        std::fclose(file);
    }
    return bytes;
}

// log.txt and its rotated copies "log(N).txt", as one text (their order does not matter).
std::string TraceLog(const std::string& workDir) {
    std::string text;
    WIN32_FIND_DATAA found{};
    HANDLE search = FindFirstFileA((workDir + "\\log*.txt").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        Fail("no log.txt in " + workDir);
    do text += FileBytes(workDir + "\\" + found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
    return text;
}

int CountOf(const std::string& text, const std::string& line) {
    int count = 0;
    for (size_t at = text.find(line); at != std::string::npos; at = text.find(line, at + 1))
        ++count;
    return count;
}

// The engine makes one connection per connection asked for; the log names each article
// body that arrived.
void CheckTraceLog(const std::string& workDir) {
    const std::string log = TraceLog(workDir);
    const int made = CountOf(log, ": CNNTPSocket(): Thread Handle:");
    if (made != kConnections)
        Fail("log.txt shows " + std::to_string(made) + " connections made, not the " +
             std::to_string(kConnections) + " typed");
    if (CountOf(log, "): Body received successfully.") == 0)
        Fail("log.txt shows no article received");
}

void Drive(const std::string& program, const std::string& workDir, const std::string& server) {
    Child child;
    child.Start(program, "--server " + server + " --workdir " + Quoted(workDir));
    const HWND dialog = WaitForDialog(child);
    SetConnections(dialog);
    Press(dialog, IDC_GO, kAnswerWaitMs, "Go");
    WaitForRates(child, dialog);
    ClickMeDuringDownload(dialog);
    StopDownload(dialog);
    FailOnMessageBox(child, "after Stop");
    CloseDialog(child, dialog);
    CheckTraceLog(workDir);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: dialog_driver ZODIVA WORKDIR HOST:PORT\n");
        return 2;
    }
    try {
        Drive(argv[1], argv[2], argv[3]);
    } catch (const Failure& failure) {
        std::fprintf(stderr, "dialog_driver: %s\n", failure.reason.c_str());
        return 1;
    }
    std::printf(
        "dialog_driver: the dialog opened, downloaded, stayed responsive, stopped and closed\n");
    return 0;
}
