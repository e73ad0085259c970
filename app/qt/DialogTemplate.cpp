#include "app/qt/DialogTemplate.h"

namespace zodiva::gui {
namespace {

using K = ControlKind;

constexpr ControlTemplate kTestDialogControls[] = {
    {kIdStatic, K::Static,
     "This is a test of the Quorrel 2.0 threaded socket code.  The Click Me button should remain "
     "responsive during the download.",
     15, 15, 232, 18},
    {kIdStatic, K::Static,
     "The test has 3 steps.  1. Make sure you're dialed-up/connected to the internet and click Go "
     "to start downloading.  2. Click the CLICK ME button to see if the GUI is responsive.  3. "
     "Click Stop to stop downloading.",
     15, 39, 232, 32},
    {kIdStatic, K::Static, "Connections:", 15, 76, 42, 8},
    {kIdConnections, K::Edit, "", 64, 74, 40, 14},
    {kIdWriteToDisk, K::AutoCheckBox, "Write to disk", 119, 76, 55, 10},
    {kIdGo, K::DefPushButton, "Go", 15, 109, 50, 14},
    {kIdStatic, K::Static, "Step 1 - Click Go to start downloading.", 116, 112, 122, 8},
    {kIdClickMe, K::PushButton, "Click Me", 15, 140, 50, 14},
    {kIdClickCount, K::Edit, "", 70, 140, 38, 14},
    {kIdStatic, K::Static, "Step 2 - Click \"Click Me\" several times.", 116, 144, 124, 8},
    {kIdStop, K::PushButton, "Stop", 15, 171, 50, 14},
    {kIdStatic, K::Static, "Step 3 - Click Stop to end the test.", 116, 174, 109, 8},
    {kIdOk, K::PushButton, "OK", 260, 7, 50, 14},
    {kIdCancel, K::PushButton, "Cancel", 260, 23, 50, 14},
    {kIdRate, K::Static, "", 259, 46, 48, 8},
};

// An icon control is sized by its image, not by the template (32 x 32 pixels on the
// reference system, which at 8 points is 21 x 20 dialog units).
constexpr ControlTemplate kAboutDialogControls[] = {
    {kIdAboutIcon, K::Icon, "", 11, 17, 21, 20},
    {kIdStatic, K::Static, "zodiva Version 1.0", 40, 10, 119, 8},
    {kIdStatic, K::Static, "Threaded NNTP engine test", 40, 25, 119, 8},
    {kIdOk, K::DefPushButton, "OK", 178, 7, 50, 14},
};

constexpr DialogTemplate kTestDialog{kTestDialogTemplateId, "zodiva", 320, 200, "MS Sans Serif", 8,
                                     kTestDialogControls};

constexpr DialogTemplate kAboutDialog{
    kAboutDialogTemplateId, "About zodiva", 235, 55, "MS Sans Serif", 8, kAboutDialogControls};

}  // namespace

const DialogTemplate& TestDialogTemplate() {
    return kTestDialog;
}
const DialogTemplate& AboutDialogTemplate() {
    return kAboutDialog;
}

const ControlTemplate* FindControl(const DialogTemplate& dialog, int id) {
    for (const ControlTemplate& control : dialog.controls) {
        if (control.id == id)
            return &control;
    }
    return nullptr;
}

}  // namespace zodiva::gui
