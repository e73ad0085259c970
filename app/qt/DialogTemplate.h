#pragma once
// The dialog templates of the program, as data: every control with its id, kind, text and
// rectangle in dialog units. The Qt dialogs build their widgets from these tables, so the
// layout is written down once and can be checked without a window system.
#include <span>

namespace zodiva::gui {

// Control ids, as the dialog's handlers and the tests know them.
inline constexpr int kIdStatic = -1;  // statics that nothing addresses
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdGo = 1000;
inline constexpr int kIdClickMe = 1001;
inline constexpr int kIdClickCount = 1002;
inline constexpr int kIdStop = 1003;
inline constexpr int kIdConnections = 1004;
inline constexpr int kIdRate = 1005;
inline constexpr int kIdWriteToDisk = 1006;
inline constexpr int kIdAboutIcon = 1100;  // the icon of the About box has no id of its own

inline constexpr int kTestDialogTemplateId = 102;
inline constexpr int kAboutDialogTemplateId = 100;
inline constexpr int kProgramIconResourceId = 128;

inline constexpr const char* kAboutMenuText = "&About zodiva...";  // string resource 101
inline constexpr int kAboutCommandId = 16;                         // its command id

enum class ControlKind {
    Static,        // left-aligned text that wraps at word boundaries
    Edit,          // single-line edit box with border, scrolls horizontally
    AutoCheckBox,  // check box that toggles itself when clicked
    PushButton,
    DefPushButton,  // the button Enter presses
    Icon,           // the program icon, drawn at its natural size
};

struct ControlTemplate {
    int id;
    ControlKind kind;
    const char* text;
    int x, y, width, height;  // dialog units
};

struct DialogTemplate {
    int id;
    const char* title;
    int width, height;  // client area, dialog units
    const char* fontFace;
    int pointSize;
    std::span<const ControlTemplate> controls;
};

// What both test dialogs add below the template, in dialog units, with the template's side
// margins and a gap between each and the next: the status rows, the connections table, the
// rate chart and the line that sums up the last download.
namespace monitor_area {
inline constexpr int kMargin = 15;
inline constexpr int kGap = 4;
inline constexpr int kStatusList = 56;
inline constexpr int kConnections = 100;
inline constexpr int kRateChart = 84;
inline constexpr int kDownloadSummary = 10;
}  // namespace monitor_area

const DialogTemplate& TestDialogTemplate();
const DialogTemplate& AboutDialogTemplate();

// The control with this id, or nullptr.
const ControlTemplate* FindControl(const DialogTemplate& dialog, int id);

}  // namespace zodiva::gui
