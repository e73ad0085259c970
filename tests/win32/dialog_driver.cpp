// Drives the native dialog of zodiva.exe from another process, as a user would: starts it
// against a news server, waits for the test dialog, types a connection count, presses Go,
// watches the rate and the connections table fill and the rate chart draw its line on the
// screen, clicks "Click Me" during the download, presses Stop, sees the chart kept and the
// download summed up, and closes the dialog.
// The process must then end with exit code 0, and its trace log must show the typed number of
// connections and articles received.
//   dialog_driver ZODIVA WORKDIR HOST:PORT [PICTURE.bmp]
// With PICTURE.bmp, the dialog as the screen shows it once the table has filled is saved there
// (tests/win32/bmp_to_png.py makes the README's screenshot of it).
// Exit code 0 when every step did what it should; 1 after one line saying which step failed;
// 2 for wrong arguments. Every wait has a bound, and a zodiva left running is ended.
#include <windows.h>

#include <commctrl.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/win32/RateChartWindow.h"
#include "app/win32/resource.h"

namespace {

// Generous bounds: they only stop a hang, they do not measure speed (Wine on a busy machine
// can take many seconds to open the first window of a prefix).
constexpr DWORD kOpenWaitMs = 60000;
constexpr DWORD kAnswerWaitMs = 10000;  // one message to the dialog
constexpr DWORD kRateWaitMs = 30000;    // the rate text to show a download
constexpr DWORD kStopWaitMs = 45000;    // Stop waits up to 30 s for the engine thread
// Between two looks at the chart: more than one reading a second apart.
constexpr DWORD kChartLookMs = 2500;
// The screenshot shows a line of this many seconds.
constexpr DWORD kPictureWaitMs = 15000;
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
    HANDLE Process() const { return info_.hProcess; }

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

// A cell of the connections table. A list-view of another process writes the text to
// memory of its own process, so the item and its buffer are placed there.
class RemoteCellReader {
public:
    explicit RemoteCellReader(const Child& child) : process_(child.Process()) {
        memory_ = static_cast<char*>(VirtualAllocEx(process_, nullptr, kSize, MEM_COMMIT | MEM_RESERVE,
                                                    PAGE_READWRITE));
        if (memory_ == nullptr)
            Fail("cannot reach the dialog's memory (error " + std::to_string(GetLastError()) + ")");
    }
    ~RemoteCellReader() { VirtualFreeEx(process_, memory_, 0, MEM_RELEASE); }
    RemoteCellReader(const RemoteCellReader&) = delete;
    RemoteCellReader& operator=(const RemoteCellReader&) = delete;

    std::string Read(HWND table, int row, int column) {
        LVITEMA item{};
        item.iSubItem = column;
        item.pszText = memory_ + sizeof item;
        item.cchTextMax = static_cast<int>(kSize - sizeof item);
        char text[kSize] = {};
        if (!WriteProcessMemory(process_, memory_, &item, sizeof item, nullptr))
            Fail("cannot write to the dialog's memory");
        Send(table, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(memory_), kAnswerWaitMs,
             "reading the connections table");
        if (!ReadProcessMemory(process_, item.pszText, text, kSize - sizeof item - 1, nullptr))
            Fail("cannot read the dialog's memory");
        return text;
    }

private:
    static constexpr SIZE_T kSize = 1024;
    HANDLE process_;
    char* memory_ = nullptr;
};

// The table below the status list has a row per connection, each with a state, and the
// articles column counts the articles that arrived.
void WaitForConnectionsTable(const Child& child, HWND dialog) {
    constexpr int kStateColumn = 1;
    constexpr int kArticlesColumn = 3;
    const HWND table = Control(dialog, IDC_CONNECTIONTABLE);
    RemoteCellReader cells(child);
    LRESULT rows = 0;
    long long articles = 0;
    for (const Deadline deadline(kRateWaitMs); !deadline.Passed(); Sleep(kPollMs)) {
        FailIfEnded(child, "during the download");
        rows = Send(table, LVM_GETITEMCOUNT, 0, 0, kAnswerWaitMs, "counting the table's rows");
        articles = 0;
        bool stated = rows == kConnections;
        for (int row = 0; row < rows; ++row) {
            articles += std::atoll(cells.Read(table, row, kArticlesColumn).c_str());
            stated = stated && !cells.Read(table, row, kStateColumn).empty();
        }
        if (stated && articles > 0)
            return;
    }
    Fail("the connections table shows " + std::to_string(rows) + " row(s) for " +
         std::to_string(kConnections) + " connections and " + std::to_string(articles) +
         " article(s) after " + std::to_string(kRateWaitMs / 1000) + " s");
}

// A window as the screen shows it: 24-bit rows, bottom-up, as a bitmap file holds them.
struct Picture {
    int width = 0;
    int height = 0;
    DWORD rowBytes = 0;
    std::string pixels;
};

BITMAPINFOHEADER BitmapHeader(const Picture& picture) {
    BITMAPINFOHEADER info{};
    info.biSize = sizeof info;
    info.biWidth = picture.width;
    info.biHeight = picture.height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    return info;
}

Picture Capture(HWND window) {
    RECT area{};
    GetWindowRect(window, &area);
    Picture picture;
    picture.width = area.right - area.left;
    picture.height = area.bottom - area.top;
    if (picture.width <= 0 || picture.height <= 0)
        Fail("a window to capture has no area");
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, picture.width, picture.height);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, picture.width, picture.height, screen, area.left, area.top, SRCCOPY);
    SelectObject(memory, previous);
    BITMAPINFOHEADER info = BitmapHeader(picture);
    picture.rowBytes = (static_cast<DWORD>(picture.width) * 3 + 3) & ~3u;
    picture.pixels.assign(picture.rowBytes * static_cast<DWORD>(picture.height), '\0');
    GetDIBits(memory, bitmap, 0, static_cast<UINT>(picture.height), &picture.pixels[0],
              reinterpret_cast<BITMAPINFO*>(&info), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return picture;
}

// The dialog's window as the screen shows it, as a 24-bit bitmap file.
void SavePicture(HWND dialog, const std::string& path) {
    const Picture picture = Capture(dialog);
    const BITMAPINFOHEADER info = BitmapHeader(picture);
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42;  // "BM"
    header.bfOffBits = sizeof header + sizeof info;
    header.bfSize = header.bfOffBits + static_cast<DWORD>(picture.pixels.size());
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        Fail("cannot write " + path);
    std::fwrite(&header, sizeof header, 1, file);
    std::fwrite(&info, sizeof info, 1, file);
    std::fwrite(picture.pixels.data(), 1, picture.pixels.size(), file);
    std::fclose(file);
}

// The rate chart's line as the screen shows it: the pixels of the line's colour, which
// nothing else in the dialog has, and the box around them (x to the right, y downwards).
struct LineTrace {
    int pixels = 0;
    int left = INT_MAX;
    int right = -1;
    int top = INT_MAX;
    int bottom = -1;

    std::string Said() const {
        if (pixels == 0)
            return "no line";
        return std::to_string(pixels) + " pixels of the line from x " + std::to_string(left) +
               " to " + std::to_string(right) + ", y " + std::to_string(top) + " to " +
               std::to_string(bottom);
    }
};

LineTrace LineOnScreen(HWND chart) {
    const Picture picture = Capture(chart);
    LineTrace trace;
    for (int row = 0; row < picture.height; ++row) {
        const char* bgr = picture.pixels.data() + picture.rowBytes * static_cast<DWORD>(row);
        const int y = picture.height - 1 - row;
        for (int x = 0; x < picture.width; ++x, bgr += 3) {
            const COLORREF colour = RGB(static_cast<BYTE>(bgr[2]), static_cast<BYTE>(bgr[1]),
                                        static_cast<BYTE>(bgr[0]));
            if (colour != kRateLineColour)
                continue;
            ++trace.pixels;
            trace.left = std::min(trace.left, x);
            trace.right = std::max(trace.right, x);
            trace.top = std::min(trace.top, y);
            trace.bottom = std::max(trace.bottom, y);
        }
    }
    return trace;
}

// Before any download the chart has its axes but no line.
void CheckChartEmpty(HWND chart) {
    const LineTrace trace = LineOnScreen(chart);
    if (trace.pixels != 0)
        Fail("before Go the rate chart shows " + trace.Said());
}

// Each second adds a reading, drawn further to the right: a line that is there and grows
// to the right between two looks was drawn from the download's readings as they came.
void WaitForChartLine(const Child& child, HWND chart) {
    LineTrace first;
    LineTrace last;
    for (const Deadline deadline(kRateWaitMs); !deadline.Passed(); Sleep(kChartLookMs)) {
        FailIfEnded(child, "during the download");
        last = LineOnScreen(chart);
        if (first.pixels == 0) {
            first = last;
            continue;
        }
        if (last.right > first.right)
            return;
    }
    Fail("the rate chart did not draw a growing line in " + std::to_string(kRateWaitMs / 1000) +
         " s: first " + first.Said() + ", last " + last.Said());
}

// After Stop the chart keeps the download's line, no longer growing, and the line below it
// sums the download up.
void CheckKeptAfterStop(HWND dialog, HWND chart) {
    const LineTrace atStop = LineOnScreen(chart);
    Sleep(kChartLookMs);
    const LineTrace later = LineOnScreen(chart);
    if (atStop.pixels == 0 || later.pixels != atStop.pixels || later.right != atStop.right)
        Fail("after Stop the rate chart showed " + atStop.Said() + ", then " + later.Said());
    const std::string summary = ControlText(dialog, IDC_DOWNLOADSUMMARY, "the download summary");
    if (summary.rfind("Last download: ", 0) != 0 || summary.find(" article") == std::string::npos)
        Fail("after Stop the summary line reads \"" + summary + "\"");
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

void Drive(const std::string& program, const std::string& workDir, const std::string& server,
           const std::string& picture) {
    Child child;
    child.Start(program, "--server " + server + " --workdir " + Quoted(workDir));
    const HWND dialog = WaitForDialog(child);
    const HWND chart = Control(dialog, IDC_RATECHART);
    CheckChartEmpty(chart);
    SetConnections(dialog);
    Press(dialog, IDC_GO, kAnswerWaitMs, "Go");
    WaitForRates(child, dialog);
    WaitForConnectionsTable(child, dialog);
    WaitForChartLine(child, chart);
    if (!picture.empty()) {
        Sleep(kPictureWaitMs);  // more readings on the chart, articles of every connection
        SavePicture(dialog, picture);
    }
    ClickMeDuringDownload(dialog);
    StopDownload(dialog);
    FailOnMessageBox(child, "after Stop");
    CheckKeptAfterStop(dialog, chart);
    CloseDialog(child, dialog);
    CheckTraceLog(workDir);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: dialog_driver ZODIVA WORKDIR HOST:PORT [PICTURE.bmp]\n");
        return 2;
    }
    try {
        Drive(argv[1], argv[2], argv[3], argc == 5 ? argv[4] : "");
    } catch (const Failure& failure) {
        std::fprintf(stderr, "dialog_driver: %s\n", failure.reason.c_str());
        return 1;
    }
    std::printf(
        "dialog_driver: the dialog opened, downloaded, drew the rate, stayed responsive, stopped "
        "and closed\n");
    return 0;
}
