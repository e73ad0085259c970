// The hidden window base: one class for every window, messages routed to the owner, window
// destruction and deletion of the owner each exactly once, failures shown in message boxes.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "NetTestKit.h"
#include "net/HiddenWindow.h"
#include "platform/windows.h"

namespace {

struct Counters {
    int Destroys = 0;
    int Deletes = 0;
    std::vector<UINT> Messages;
};

class CountingWindow : public HiddenWindow {
public:
    explicit CountingWindow(Counters& counters) : m_Counters(counters) {
        Create("TestClassLabel", "Test", 0, RECT{0, 0, 0, 0}, nullptr, nullptr);
    }
    ~CountingWindow() override { ++m_Counters.Deletes; }
    LRESULT OnDestroy(HWND, WPARAM, LPARAM) override {
        ++m_Counters.Destroys;
        return 0;
    }
    LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override {
        m_Counters.Messages.push_back(message);
        return HiddenWindow::WindowProc(hwnd, message, wParam, lParam);
    }

private:
    Counters& m_Counters;
};

struct Box {
    std::string Text;
    std::string Caption;
    HWND Owner;
};

// Collects message boxes instead of showing them.
class BoxCollector {
public:
    BoxCollector() {
        m_Previous =
            platform::SetMessageBoxHandler([this](HWND owner, LPCSTR text, LPCSTR caption, UINT) {
                Boxes.push_back({text, caption, owner});
                return IDOK;
            });
    }
    ~BoxCollector() { platform::SetMessageBoxHandler(std::move(m_Previous)); }
    std::vector<Box> Boxes;

private:
    platform::MessageBoxHandler m_Previous;
};

TEST(HiddenWindowTest, EveryObjectGetsItsOwnWindowOfTheOneClass) {
    BoxCollector boxes;
    Counters first;
    Counters second;
    {
        CountingWindow a(first);
        CountingWindow b(second);
        EXPECT_TRUE(HiddenWindow::IsClassRegistered());
        ASSERT_NE(a.GetWindowHandle(), nullptr);
        ASSERT_NE(b.GetWindowHandle(), nullptr);
        EXPECT_NE(a.GetWindowHandle(), b.GetWindowHandle());
        EXPECT_TRUE(IsWindow(a.GetWindowHandle()));
    }
    // A second registration attempt would have failed (the name is taken) and shown a box.
    EXPECT_TRUE(boxes.Boxes.empty());
}

TEST(HiddenWindowTest, MessagesReachTheOwnersWindowProc) {
    Counters counters;
    CountingWindow window(counters);
    ASSERT_TRUE(PostMessageA(window.GetWindowHandle(), WM_APP + 5, 0, 0));
    ASSERT_TRUE(PostMessageA(window.GetWindowHandle(), WM_USER + 1, 0, 0));
    DispatchPending();
    EXPECT_EQ(counters.Messages, (std::vector<UINT>{WM_APP + 5, WM_USER + 1}));
}

TEST(HiddenWindowTest, DeletingTheObjectDestroysTheWindowOnce) {
    Counters counters;
    auto* window = new CountingWindow(counters);
    const HWND hwnd = window->GetWindowHandle();
    ASSERT_NE(hwnd, nullptr);
    delete window;
    // (The derived OnDestroy is gone by then; the window's end shows in the handle.)
    EXPECT_EQ(counters.Deletes, 1);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_FALSE(DestroyWindow(hwnd));
    // A message for the gone window is dropped without reaching anything.
    PostMessageA(hwnd, WM_APP, 0, 0);
    DispatchPending();
    EXPECT_TRUE(counters.Messages.empty());
}

TEST(HiddenWindowTest, DestroyingTheWindowFromOutsideDeletesTheObjectOnce) {
    Counters counters;
    auto* window = new CountingWindow(counters);
    const HWND hwnd = window->GetWindowHandle();
    DestroyWindow(hwnd);
    EXPECT_EQ(counters.Destroys, 1);
    EXPECT_EQ(counters.Deletes, 1);
    EXPECT_FALSE(IsWindow(hwnd));
}

TEST(HiddenWindowTest, OkAndCancelCommandsCloseTheObject) {
    for (WPARAM command : {1, 2}) {
        Counters counters;
        auto* window = new CountingWindow(counters);
        const HWND hwnd = window->GetWindowHandle();
        EXPECT_EQ(SendMessageA(hwnd, WM_COMMAND, MAKELONG(static_cast<WORD>(command), 0), 0), 0);
        EXPECT_EQ(counters.Deletes, 1) << command;
        EXPECT_EQ(counters.Destroys, 1) << command;
        EXPECT_FALSE(IsWindow(hwnd));
    }
}

TEST(HiddenWindowTest, OtherCommandsLeaveTheObjectAlone) {
    Counters counters;
    CountingWindow window(counters);
    for (WPARAM command : {0, 3, 100}) {
        SendMessageA(window.GetWindowHandle(), WM_COMMAND, command, 0);
    }
    EXPECT_EQ(counters.Deletes, 0);
    EXPECT_TRUE(IsWindow(window.GetWindowHandle()));
    // Commands go to OnCommand, not to WindowProc.
    EXPECT_TRUE(counters.Messages.empty());
}

TEST(HiddenWindowTest, WindowWithoutOwnerIsAnsweredByDefaultHandling) {
    HiddenWindow::RegisterWindowClass();
    const HWND hwnd = CreateWindowExA(0, HiddenWindow::kWindowClassName, "bare", 0, 0, 0, 0, 0,
                                      nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(SendMessageA(hwnd, WM_APP, 0, 0), 0);
    EXPECT_EQ(GetWindowLongPtrA(hwnd, GWLP_USERDATA), 0);
    EXPECT_TRUE(DestroyWindow(hwnd));
}

class RefusingWindow : public HiddenWindow {
public:
    explicit RefusingWindow(Counters& counters) : m_Counters(counters) {
        Create("TestClassLabel", "Test", 0, RECT{0, 0, 0, 0}, nullptr, nullptr);
    }
    ~RefusingWindow() override { ++m_Counters.Deletes; }
    LRESULT OnCreate(HWND, WPARAM, LPARAM) override { return -1; }

private:
    Counters& m_Counters;
};

TEST(HiddenWindowTest, CreationRefusedByTheOwnerDoesNotDeleteIt) {
    BoxCollector boxes;
    Counters counters;
    {
        RefusingWindow window(counters);
        EXPECT_EQ(window.GetWindowHandle(), nullptr);
        EXPECT_EQ(counters.Deletes, 0);
    }
    EXPECT_EQ(counters.Deletes, 1);
    ASSERT_EQ(boxes.Boxes.size(), 1u);
    EXPECT_EQ(boxes.Boxes[0].Caption, "CreateWindow");
}

// Takes the class name before the hidden-window code can, with a procedure that refuses to
// create windows: registration and creation both fail.
LRESULT CALLBACK RefusingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        return FALSE;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

TEST(HiddenWindowTest, FailedRegistrationAndCreationAreShownAndTheObjectLivesOn) {
    HiddenWindow::RegisterWindowClass();
    ASSERT_TRUE(UnregisterClassA(HiddenWindow::kWindowClassName, GetModuleHandleA(nullptr)));
    HiddenWindow::ForgetClassRegistration();
    WNDCLASSEXA imposter = {};
    imposter.cbSize = sizeof imposter;
    imposter.lpfnWndProc = &RefusingProc;
    imposter.lpszClassName = HiddenWindow::kWindowClassName;
    ASSERT_NE(RegisterClassExA(&imposter), 0);

    BoxCollector boxes;
    {
        Counters counters;
        CountingWindow window(counters);
        EXPECT_EQ(window.GetWindowHandle(), nullptr);
        EXPECT_FALSE(HiddenWindow::IsClassRegistered());
    }
    ASSERT_EQ(boxes.Boxes.size(), 2u);
    EXPECT_EQ(boxes.Boxes[0].Caption, "RegisterClass");
    EXPECT_EQ(boxes.Boxes[0].Text.rfind("Error #", 0), 0u);
    EXPECT_EQ(boxes.Boxes[1].Caption, "CreateWindow");
    EXPECT_EQ(boxes.Boxes[1].Text.rfind("CreateWindowEx error #", 0), 0u);

    // Once the name is free again, the next object registers the class and gets its window.
    ASSERT_TRUE(UnregisterClassA(HiddenWindow::kWindowClassName, GetModuleHandleA(nullptr)));
    Counters counters;
    CountingWindow window(counters);
    EXPECT_NE(window.GetWindowHandle(), nullptr);
    EXPECT_TRUE(HiddenWindow::IsClassRegistered());
    EXPECT_EQ(boxes.Boxes.size(), 2u);
}

}  // namespace
