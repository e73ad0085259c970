// The test dialog on Windows. The controls come from the resource template; the handlers do
// what the other front ends do, through TestDialogLogic. Below the template's controls, as in
// the Qt dialog: a list of the engine's status rows, a table of the connections (number,
// state, rate, articles, last reply), the chart of the total rate's last two minutes, all
// read once a second with the rate, and after Stop a line that sums the download up.
#include "app/win32/RunDialog.h"

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/CommandLine.h"
#include "app/core/MonitorView.h"
#include "app/core/RateHistory.h"
#include "app/core/SafeText.h"
#include "app/core/SessionSetup.h"
#include "app/core/StatusRowFolder.h"
#include "app/core/TestDialogLogic.h"
#include "app/qt/DialogTemplate.h"
#include "app/win32/RateChartWindow.h"
#include "app/win32/resource.h"
#include "engine/EngineMonitor.h"
#include "platform/Clock.h"
#include "platform/windows.h"

#include <commctrl.h>

namespace {

using namespace zodiva::gui;

// The resource script and the other front end's template name the same controls.
static_assert(IDD_TESTDIALOG == kTestDialogTemplateId && IDD_ABOUTBOX == kAboutDialogTemplateId);
static_assert(IDC_GO == kIdGo && IDC_CLICKME == kIdClickMe && IDC_CLICKCOUNT == kIdClickCount &&
              IDC_STOP == kIdStop && IDC_CONNECTIONS == kIdConnections && IDC_RATE == kIdRate &&
              IDC_WRITETODISK == kIdWriteToDisk && IDM_ABOUTBOX == kAboutCommandId);

constexpr UINT_PTR kRateTimer = 1;
constexpr UINT kRateTimerMilliseconds = 1000;
// Below the template's area (200 dialog units high, as in zodiva.rc), one under the other,
// with the Qt dialog's heights: the status list, the connections table, the rate chart and
// the summary line; then a margin as wide as the gaps.
constexpr int kListTop = 200;
constexpr int kTableTop = kListTop + monitor_area::kStatusList + monitor_area::kGap;
constexpr int kChartTop = kTableTop + monitor_area::kConnections + monitor_area::kGap;
constexpr int kSummaryTop = kChartTop + monitor_area::kRateChart + monitor_area::kGap;
constexpr int kAreaBottom = kSummaryTop + monitor_area::kDownloadSummary + 2 * monitor_area::kGap;
// Rows kept in the list; older ones go first.
constexpr LRESULT kListRows = EngineMonitor::kStatusRowLimit;
// Its columns: title and width in dialog units.
struct TableColumn {
    const char* title;
    int width;
    int format;
};
constexpr TableColumn kTableColumns[] = {{"#", 18, LVCFMT_RIGHT},
                                         {"State", 70, LVCFMT_LEFT},
                                         {"Rate", 44, LVCFMT_RIGHT},
                                         {"Articles", 34, LVCFMT_RIGHT},
                                         {"Last reply", 120, LVCFMT_LEFT}};

// The dialog's thread and window, for the message boxes (see ShowBox).
DWORD gDialogThread = 0;
HWND gDialog = nullptr;

struct DialogState {
    TestDialogLogic* logic = nullptr;
    HICON icon = nullptr;
    HWND list = nullptr;
    HWND table = nullptr;
    HWND chart = nullptr;
    HWND summary = nullptr;
    // What the table shows: the download it was made for and its figures.
    std::shared_ptr<EngineMonitor> shownMonitor;
    ConnectionTable connections;
    std::vector<ConnectionSnapshot> snapshots;
    // What the chart shows: the running download's readings, or the last one's after Stop.
    RateHistory rates;
    std::optional<ULONGLONG> downloadStart;  // GetTickCount64 at the running download's Go
};

std::string TextOf(HWND dialog, int id) {
    char text[256] = {};
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

INT_PTR CALLBACK AboutProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

void ShowAbout(HWND owner) {
    DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_ABOUTBOX), owner, &AboutProc, 0);
}

// The About entry after a separator at the end of the system menu.
void AddAboutToSystemMenu(HWND dialog) {
    HMENU menu = GetSystemMenu(dialog, FALSE);
    char text[64] = {};
    if (menu == nullptr || LoadStringA(GetModuleHandleA(nullptr), IDS_ABOUTBOX, text, sizeof text) == 0)
        return;
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING, IDM_ABOUTBOX, text);
}

// The dialog grows downwards to take what is added below the template.
void GrowDialog(HWND dialog) {
    RECT grow{0, 0, 0, kAreaBottom - kListTop};
    MapDialogRect(dialog, &grow);
    RECT window;
    GetWindowRect(dialog, &window);
    SetWindowPos(dialog, nullptr, 0, 0, window.right - window.left,
                 window.bottom - window.top + grow.bottom, SWP_NOMOVE | SWP_NOZORDER);
}

// A band of the added area in the dialog's pixels: the template's width less its margins.
RECT AreaBand(HWND dialog, int top, int height) {
    RECT band{monitor_area::kMargin, top, 320 - monitor_area::kMargin, top + height};
    MapDialogRect(dialog, &band);
    return band;
}

void CreateStatusList(HWND dialog, DialogState& state) {
    const RECT area = AreaBand(dialog, kListTop, monitor_area::kStatusList);
    state.list = CreateWindowExA(WS_EX_CLIENTEDGE, "LISTBOX", "",
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOSEL,
                                 area.left, area.top, area.right - area.left, area.bottom - area.top,
                                 dialog, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDC_STATUSLIST)),
                                 GetModuleHandleA(nullptr), nullptr);
    SendMessageA(state.list, WM_SETFONT, SendMessageA(dialog, WM_GETFONT, 0, 0), FALSE);
}

void CreateConnectionsTable(HWND dialog, DialogState& state) {
    INITCOMMONCONTROLSEX classes{sizeof classes, ICC_LISTVIEW_CLASSES};
    InitCommonControlsEx(&classes);
    const RECT area = AreaBand(dialog, kTableTop, monitor_area::kConnections);
    state.table = CreateWindowExA(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                                  WS_CHILD | WS_VISIBLE | LVS_REPORT | LVS_NOSORTHEADER | LVS_SINGLESEL,
                                  area.left, area.top, area.right - area.left, area.bottom - area.top,
                                  dialog, reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDC_CONNECTIONTABLE)),
                                  GetModuleHandleA(nullptr), nullptr);
    SendMessageA(state.table, WM_SETFONT, SendMessageA(dialog, WM_GETFONT, 0, 0), FALSE);
    SendMessageA(state.table, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_GRIDLINES);
    int index = 0;
    for (const TableColumn& column : kTableColumns) {
        RECT width{0, 0, column.width, 0};
        MapDialogRect(dialog, &width);
        LVCOLUMNA header{};
        header.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_FMT;
        header.fmt = column.format;
        header.cx = width.right;
        header.pszText = const_cast<char*>(column.title);
        SendMessageA(state.table, LVM_INSERTCOLUMNA, index++, reinterpret_cast<LPARAM>(&header));
    }
}

// The chart draws the dialog's readings; the summary line stays empty until a Stop.
void CreateRateChart(HWND dialog, DialogState& state) {
    state.chart = CreateRateChart(
        dialog, IDC_RATECHART, AreaBand(dialog, kChartTop, monitor_area::kRateChart), state.rates);
    const RECT line = AreaBand(dialog, kSummaryTop, monitor_area::kDownloadSummary);
    state.summary =
        CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_LEFT | SS_NOPREFIX, line.left,
                        line.top, line.right - line.left, line.bottom - line.top, dialog,
                        reinterpret_cast<HMENU>(static_cast<UINT_PTR>(IDC_DOWNLOADSUMMARY)),
                        GetModuleHandleA(nullptr), nullptr);
    SendMessageA(state.summary, WM_SETFONT, SendMessageA(dialog, WM_GETFONT, 0, 0), FALSE);
}

void OnInitDialog(HWND dialog, DialogState& state) {
    SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(&state));
    gDialog = dialog;
    state.icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDR_MAINFRAME));
    SendMessageA(dialog, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(state.icon));
    SendMessageA(dialog, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(state.icon));
    AddAboutToSystemMenu(dialog);
    SetDlgItemTextA(dialog, IDC_CONNECTIONS, std::to_string(state.logic->ConnectionsForDisplay()).c_str());
    CheckDlgButton(dialog, IDC_WRITETODISK, state.logic->WriteToDisk() ? BST_CHECKED : BST_UNCHECKED);
    GrowDialog(dialog);
    CreateStatusList(dialog, state);
    CreateConnectionsTable(dialog, state);
    CreateRateChart(dialog, state);
    SetTimer(dialog, kRateTimer, kRateTimerMilliseconds, nullptr);
}

void SetCell(HWND table, int row, int column, const std::string& text) {
    LVITEMA cell{};
    cell.iSubItem = column;
    cell.pszText = const_cast<char*>(text.c_str());
    SendMessageA(table, LVM_SETITEMTEXTA, row, reinterpret_cast<LPARAM>(&cell));
}

// One row per connection, updated in place so that the table does not flicker.
void ShowConnections(DialogState& state, const EngineMonitor& monitor) {
    monitor.ReadConnections(state.snapshots, platform::CurrentFileTime());
    state.connections.Update(state.snapshots, static_cast<double>(GetTickCount64()) / 1000.0);
    const std::vector<ConnectionRow>& rows = state.connections.Rows();
    const int wanted = static_cast<int>(rows.size());
    int shown = static_cast<int>(SendMessageA(state.table, LVM_GETITEMCOUNT, 0, 0));
    for (; shown > wanted; --shown)
        SendMessageA(state.table, LVM_DELETEITEM, shown - 1, 0);
    for (int i = 0; i < wanted; ++i) {
        const ConnectionRow& row = rows[static_cast<std::size_t>(i)];
        const std::string number = std::to_string(row.number);
        if (i >= shown) {
            LVITEMA item{};
            item.mask = LVIF_TEXT;
            item.iItem = i;
            item.pszText = const_cast<char*>(number.c_str());
            SendMessageA(state.table, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        } else {
            SetCell(state.table, i, 0, number);
        }
        SetCell(state.table, i, 1, row.state);
        SetCell(state.table, i, 2, HumanRate(row.rateKiB));
        SetCell(state.table, i, 3, std::to_string(row.articles));
        SetCell(state.table, i, 4, row.lastReply);
    }
}

void ShowStatusRows(DialogState& state, EngineMonitor& monitor) {
    auto row = std::make_unique<StatusRow>();
    bool added = false;
    while (monitor.StatusRows().TryPop(*row)) {
        std::string text = FormatStatusRow(*row);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        SendMessageA(state.list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        added = true;
    }
    if (!added)
        return;
    LRESULT count = SendMessageA(state.list, LB_GETCOUNT, 0, 0);
    for (; count > kListRows; --count)
        SendMessageA(state.list, LB_DELETESTRING, 0, 0);
    SendMessageA(state.list, LB_SETTOPINDEX, count - 1, 0);
}

void ShowMonitor(DialogState& state) {
    const std::shared_ptr<EngineMonitor> monitor = state.logic->Monitor();
    if (monitor != state.shownMonitor) {
        // A new download (or none): its connections start afresh; the kept rows stay.
        state.shownMonitor = monitor;
        state.connections = ConnectionTable();
        if (state.table != nullptr)
            SendMessageA(state.table, LVM_DELETEALLITEMS, 0, 0);
    }
    if (!monitor)
        return;
    if (state.table != nullptr)
        ShowConnections(state, *monitor);
    if (state.list != nullptr)
        ShowStatusRows(state, *monitor);
}

double SecondsSince(ULONGLONG start) {
    return static_cast<double>(GetTickCount64() - start) / 1000.0;
}

// Once a second while a download runs; after Stop the chart keeps its last picture.
void ShowRate(DialogState& state) {
    if (!state.logic->IsRunning() || !state.downloadStart)
        return;
    state.rates.Add(SecondsSince(*state.downloadStart), state.logic->TotalRate());
    InvalidateRect(state.chart, nullptr, FALSE);
}

void OnGo(HWND dialog, DialogState& state) {
    const auto confirm = [](const std::string& question) {
        return MessageBoxA(nullptr, question.c_str(), TestDialogLogic::kApplicationTitle,
                           MB_YESNO | MB_ICONQUESTION) == IDYES;
    };
    // A new Go ends what the chart and the summary showed of the last download.
    state.rates.Clear();
    state.downloadStart.reset();
    SetWindowTextA(state.summary, "");
    InvalidateRect(state.chart, nullptr, FALSE);
    if (state.logic->Go(TextOf(dialog, IDC_CONNECTIONS), confirm) ==
        TestDialogLogic::GoResult::kStarted)
        state.downloadStart = GetTickCount64();
}

// The download's totals stay readable after Stop: the engine's counters and monitor outlive
// its thread.
void OnStop(DialogState& state) {
    if (!state.logic->IsRunning())
        return;
    const double seconds = state.downloadStart ? SecondsSince(*state.downloadStart) : 0.0;
    state.logic->Stop();
    state.downloadStart.reset();
    const EngineTotals totals = state.logic->Totals();
    const std::shared_ptr<EngineMonitor> monitor = state.logic->Monitor();
    const std::uint64_t failures = monitor ? monitor->Run().TotalFailures() : 0;
    const std::string summary =
        DownloadSummaryText(seconds, totals.bytesReceived, totals.articlesCompleted, failures);
    SetWindowTextA(state.summary, summary.c_str());
}

// Wraps like the original's int arithmetic, without its undefined overflow.
void OnClickMe(HWND dialog) {
    BOOL read = FALSE;
    const int count = static_cast<int>(GetDlgItemInt(dialog, IDC_CLICKCOUNT, &read, TRUE));
    const unsigned next = static_cast<unsigned>(read ? count : 0) + 1u;
    SetDlgItemInt(dialog, IDC_CLICKCOUNT, next, TRUE);
}

void Close(HWND dialog, DialogState& state, INT_PTR result) {
    KillTimer(dialog, kRateTimer);
    OnStop(state);
    gDialog = nullptr;
    EndDialog(dialog, result);
}

INT_PTR CALLBACK TestDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_INITDIALOG) {
        OnInitDialog(dialog, *reinterpret_cast<DialogState*>(lParam));
        return TRUE;
    }
    auto* state = reinterpret_cast<DialogState*>(GetWindowLongPtrA(dialog, DWLP_USER));
    if (state == nullptr)
        return FALSE;
    switch (message) {
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDC_GO:
                    OnGo(dialog, *state);
                    return TRUE;
                case IDC_STOP:
                    OnStop(*state);
                    return TRUE;
                case IDC_CLICKME:
                    OnClickMe(dialog);
                    return TRUE;
                case IDC_WRITETODISK:
                    state->logic->SetWriteToDisk(IsDlgButtonChecked(dialog, IDC_WRITETODISK) == BST_CHECKED);
                    return TRUE;
                case IDOK:
                case IDCANCEL:
                    Close(dialog, *state, LOWORD(wParam));
                    return TRUE;
            }
            return FALSE;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                ShowAbout(dialog);
                return TRUE;
            }
            return FALSE;
        case WM_TIMER:
            if (wParam == kRateTimer) {
                SetDlgItemTextA(dialog, IDC_RATE, state->logic->RateText().c_str());
                ShowMonitor(*state);
                ShowRate(*state);
            }
            return TRUE;
        case WM_HELP:
            ShowAbout(dialog);
            return TRUE;
    }
    (void)lParam;
    return FALSE;
}

// Boxes asked for on the dialog's thread belong to the dialog; one asked for by the engine
// thread (while the dialog's thread may be waiting for it in Go) has no owner, so that it
// never waits for the dialog's thread.
int ShowBox(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (owner == nullptr && GetCurrentThreadId() == gDialogThread)
        owner = gDialog;
    if (GetCurrentThreadId() != gDialogThread)
        type |= MB_SETFOREGROUND | MB_TOPMOST;
    return (MessageBoxA)(owner, text, caption, type);
}

void ReportStartFailure(const std::string& message) {
    std::fprintf(stderr, "zodiva: %s\n", message.c_str());
    (MessageBoxA)(nullptr, message.c_str(), "zodiva", MB_OK | MB_ICONERROR);
}

}  // namespace

int RunDialog(int, char**, const CommandLineOptions& options) {
    // Started from the desktop, the console program got a console of its own: hide it.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1)
        FreeConsole();
    SessionSetup setup;  // first, so that it goes last
    std::string error;
    if (!setup.PrepareEnvironment(options, error)) {
        ReportStartFailure(error);
        return 2;
    }
    TestDialogLogic logic;
    logic.LoadSettings();
    if (!setup.ApplySettings(options, logic, error) || !setup.StartMetrics(options, logic, error)) {
        ReportStartFailure(error);
        return 2;
    }
    gDialogThread = GetCurrentThreadId();
    const auto previous = platform::SetMessageBoxHandler(&ShowBox);
    DialogState state;
    state.logic = &logic;
    const INT_PTR result = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_TESTDIALOG),
                                           nullptr, &TestDialogProc, reinterpret_cast<LPARAM>(&state));
    platform::SetMessageBoxHandler(previous);
    logic.Stop();
    setup.StopDemo();
    if (result == -1) {
        std::fprintf(stderr, "zodiva: cannot open the dialog (error %lu)\n", GetLastError());
        return 2;
    }
    return 0;
}
