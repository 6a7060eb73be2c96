// The application frame on the real window system of each build: the message
// loop's idle and filter rules, binding dialogs to their objects, the result
// rules, the final-message call, modeless and modal dialogs. Dialogs come
// from the program's own templates (100, the About box, and 129).
#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "dialog.h"
#include "message_loop.h"
#include "module.h"
#include "resource.h"

namespace {

constexpr UINT kProbe = WM_USER + 7;  // handled: answers 42 through DWLP_MSGRESULT
constexpr UINT kTick = WM_USER + 200; // posted from other threads, counted
constexpr UINT kDestroySelf = WM_USER + 9;

class CProbeDlg : public CDialogImpl<CProbeDlg> {
  public:
    enum { IDD = IDD_ABOUTBOX };

    std::vector<UINT> seen;
    LPARAM init_param = -1;
    int final_calls = 0;
    HWND final_hwnd = nullptr;
    std::atomic<int> ticks{0};
    int init_answer = 1;

    BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                              LRESULT& result, DWORD) override {
        seen.push_back(message);
        switch (message) {
        case WM_INITDIALOG:
            EXPECT_EQ(hwnd, m_hWnd) << "bound before the first message reaches the map";
            init_param = lparam;
            result = init_answer;
            return TRUE;
        case kProbe:
            result = 42;
            return TRUE;
        case kTick:
            ++ticks;
            result = 0;
            return TRUE;
        case kDestroySelf:
            ::DestroyWindow(hwnd);
            EXPECT_EQ(final_calls, 0) << "the final call waits for the outer message";
            result = 0;
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                EndDialog(LOWORD(wparam));
                result = 0;
                return TRUE;
            }
            break;
        }
        return FALSE;
    }

    void OnFinalMessage(HWND hwnd) override {
        ++final_calls;
        final_hwnd = hwnd;
    }
};

int count(const std::vector<UINT>& seen, UINT message) {
    int n = 0;
    for (UINT m : seen) {
        n += m == message;
    }
    return n;
}

// ---- binding and results ----

TEST(DialogBinding, ModelessWindowIsBoundAndItsMessagesReachTheMap) {
    CProbeDlg dlg;
    HWND hwnd = dlg.Create(nullptr, 1234);
    ASSERT_NE(hwnd, nullptr) << "error " << GetLastError();
    EXPECT_EQ(dlg.m_hWnd, hwnd);
    EXPECT_EQ(dlg.init_param, 1234);
    ASSERT_FALSE(dlg.seen.empty());
    EXPECT_EQ(count(dlg.seen, WM_INITDIALOG), 1);
    // A handled message answers through DWLP_MSGRESULT; SendMessage returns it.
    EXPECT_EQ(SendMessageW(hwnd, kProbe, 0, 0), 42);
    EXPECT_EQ(GetWindowLongPtrW(hwnd, DWLP_MSGRESULT), 42);
    // Nothing pending is left behind.
    EXPECT_EQ(_CreationRegistry.ExtractCreateWndData(), nullptr);
    EXPECT_TRUE(DestroyWindow(hwnd));
}

TEST(DialogBinding, FinalMessageAfterDestructionClearsTheHandle) {
    CProbeDlg dlg;
    HWND hwnd = dlg.Create(nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_TRUE(DestroyWindow(hwnd));
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(count(dlg.seen, WM_DESTROY), 1);
    EXPECT_EQ(count(dlg.seen, WM_NCDESTROY), 1);
    EXPECT_EQ(dlg.final_calls, 1);
    EXPECT_EQ(dlg.final_hwnd, hwnd);
    EXPECT_EQ(dlg.m_hWnd, nullptr);
    EXPECT_EQ(dlg.m_dwState & CWindowImplRoot::kStateDestroyed, 0u);
}

TEST(DialogBinding, WindowDestroyedInsideItsOwnHandlerGetsItsFinalCallAfterwards) {
    CProbeDlg dlg;
    HWND hwnd = dlg.Create(nullptr);
    ASSERT_NE(hwnd, nullptr);
    SendMessageW(hwnd, kDestroySelf, 0, 0);
    EXPECT_FALSE(IsWindow(hwnd));
    EXPECT_EQ(dlg.final_calls, 1);
    EXPECT_EQ(dlg.m_hWnd, nullptr);
}

TEST(DialogBinding, FailedCreationLeavesNoPendingRecord) {
    struct CMissing : CDialogImpl<CMissing> {
        enum { IDD = 4321 }; // no such template
        BOOL ProcessWindowMessage(HWND, UINT, WPARAM, LPARAM, LRESULT&, DWORD) override {
            return FALSE;
        }
    };
    {
        CMissing missing;
        EXPECT_EQ(missing.Create(nullptr), nullptr);
        EXPECT_EQ(missing.DoModal(nullptr), -1);
    }
    // The records lived inside `missing`; the list must not point there now.
    EXPECT_EQ(_CreationRegistry.ExtractCreateWndData(), nullptr);
    CProbeDlg dlg;
    HWND hwnd = dlg.Create(nullptr);
    ASSERT_NE(hwnd, nullptr);
    EXPECT_EQ(dlg.m_hWnd, hwnd);
    DestroyWindow(hwnd);
}

TEST(DialogBinding, NestedCreationsBindEachWindowToItsOwnObject) {
    CProbeDlg first;
    CProbeDlg second;
    HWND a = first.Create(nullptr);
    HWND b = second.Create(nullptr);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    SendMessageW(b, kProbe, 0, 0);
    EXPECT_EQ(count(second.seen, kProbe), 1);
    EXPECT_EQ(count(first.seen, kProbe), 0);
    DestroyWindow(a);
    DestroyWindow(b);
    EXPECT_EQ(first.final_calls, 1);
    EXPECT_EQ(second.final_calls, 1);
}

// ---- the message loop ----

class CLoopProbe : public CMessageFilter, public CIdleHandler {
  public:
    std::vector<std::string>* log = nullptr;
    std::string name;
    bool consume = false;
    HANDLE idled = nullptr;

    BOOL PreTranslateMessage(MSG* msg) override {
        if (msg->message >= WM_USER) {
            log->push_back(name + ":" + std::to_string(msg->message - WM_USER));
        }
        return consume;
    }
    BOOL OnIdle() override {
        log->push_back(name + ":idle");
        if (idled) {
            SetEvent(idled);
        }
        return FALSE;
    }
};

struct LoopFixture : ::testing::Test {
    CMessageLoop loop;
    CProbeDlg dlg;
    HWND hwnd = nullptr;
    std::vector<std::string> log;

    void SetUp() override {
        _Module.Init();
        ASSERT_TRUE(_Module.AddMessageLoop(&loop));
        hwnd = dlg.Create(nullptr);
        ASSERT_NE(hwnd, nullptr);
    }
    void TearDown() override {
        if (IsWindow(hwnd)) {
            DestroyWindow(hwnd);
        }
        EXPECT_TRUE(_Module.RemoveMessageLoop());
        _Module.Term();
    }
};

TEST_F(LoopFixture, OnlyMouseMovesAndPaintKeepTheIdlePhaseFromRestarting) {
    CLoopProbe probe;
    probe.log = &log;
    probe.name = "h";
    probe.idled = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    loop.AddIdleHandler(&probe);
    loop.AddMessageFilter(&probe);

    // Another thread posts one message at a time, each after the loop has
    // had time to go idle again; the markers (WM_USER + n) show in the log
    // where each message came.
    std::thread poster([&] {
        auto post = [&](UINT message) {
            PostMessageW(hwnd, message, 0, 0);
            Sleep(60);
        };
        WaitForSingleObject(probe.idled, 5000); // the first idle phase
        post(WM_USER + 1);                      // restarts idle
        WaitForSingleObject(probe.idled, 5000);
        for (UINT quiet : {static_cast<UINT>(WM_MOUSEMOVE), static_cast<UINT>(WM_NCMOUSEMOVE),
                           static_cast<UINT>(WM_PAINT), 0x0118u}) {
            post(quiet);
        }
        post(WM_USER + 2); // restarts idle
        WaitForSingleObject(probe.idled, 5000);
        post(WM_USER + 3);
        WaitForSingleObject(probe.idled, 5000);
        PostMessageW(hwnd, WM_COMMAND, IDOK, 0); // the quit below
    });
    struct Quit : CMessageFilter {
        BOOL PreTranslateMessage(MSG* msg) override {
            if (msg->message == WM_COMMAND && msg->wParam == IDOK) {
                PostQuitMessage(7);
                return TRUE;
            }
            return FALSE;
        }
    } quit;
    loop.AddMessageFilter(&quit);
    const int code = loop.Run();
    poster.join();
    CloseHandle(probe.idled);

    EXPECT_EQ(code, 7);
    const std::vector<std::string> expected = {"h:idle", "h:1", "h:idle", "h:2",
                                               "h:idle", "h:3", "h:idle"};
    EXPECT_EQ(log, expected);
}

TEST_F(LoopFixture, FiltersAreAskedNewestFirstAndAConsumedMessageIsNotDispatched) {
    CLoopProbe first;
    CLoopProbe second;
    CLoopProbe third;
    for (auto [probe, name] : {std::pair{&first, "a"}, {&second, "b"}, {&third, "c"}}) {
        probe->log = &log;
        probe->name = name;
        loop.AddMessageFilter(probe);
    }
    second.consume = true;
    PostMessageW(hwnd, kProbe, 0, 0);
    PostQuitMessage(3);
    EXPECT_EQ(loop.Run(), 3);
    const std::vector<std::string> expected = {"c:7", "b:7"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(count(dlg.seen, kProbe), 0) << "a consumed message must not reach the window";

    // Without a consumer the message is dispatched to the window.
    second.consume = false;
    log.clear();
    PostMessageW(hwnd, kProbe, 0, 0);
    PostQuitMessage(4);
    EXPECT_EQ(loop.Run(), 4);
    const std::vector<std::string> all = {"c:7", "b:7", "a:7"};
    EXPECT_EQ(log, all);
    EXPECT_EQ(count(dlg.seen, kProbe), 1);
}

TEST_F(LoopFixture, RemovingAFilterTakesOutTheFirstMatchOnly) {
    CLoopProbe probe;
    probe.log = &log;
    probe.name = "p";
    loop.AddMessageFilter(&probe);
    loop.AddMessageFilter(&probe);
    EXPECT_TRUE(loop.RemoveMessageFilter(&probe));
    PostMessageW(hwnd, kProbe, 0, 0);
    PostQuitMessage(0);
    loop.Run();
    EXPECT_EQ(log, std::vector<std::string>{"p:7"});
    EXPECT_TRUE(loop.RemoveMessageFilter(&probe));
    EXPECT_FALSE(loop.RemoveMessageFilter(&probe));
    EXPECT_FALSE(loop.RemoveIdleHandler(&probe));
}

// ---- the application module ----

TEST(AppModule, KeepsOneLoopPerThread) {
    CAppModule module;
    module.Init();
    CMessageLoop mine;
    CMessageLoop theirs;
    EXPECT_EQ(module.GetMessageLoop(), nullptr);
    ASSERT_TRUE(module.AddMessageLoop(&mine));
    DWORD other_id = 0;
    std::thread other([&] {
        other_id = GetCurrentThreadId();
        module.AddMessageLoop(&theirs);
    });
    other.join();
    EXPECT_EQ(module.GetMessageLoop(), &mine);
    EXPECT_EQ(module.GetMessageLoop(other_id), &theirs);
    EXPECT_EQ(module.MainThreadId(), GetCurrentThreadId());
    EXPECT_TRUE(module.RemoveMessageLoop());
    EXPECT_FALSE(module.RemoveMessageLoop());
    EXPECT_EQ(module.GetMessageLoop(), nullptr);
    EXPECT_EQ(module.GetMessageLoop(other_id), &theirs);
    module.Term();
    EXPECT_EQ(module.GetMessageLoop(other_id), nullptr);
}

// ---- modal dialogs ----

TEST(ModalDialog, PostedMessagesKeepBeingDispatchedWhileItIsOpen) {
    CProbeDlg owner;
    HWND owner_hwnd = owner.Create(nullptr);
    ASSERT_NE(owner_hwnd, nullptr);
    ShowWindow(owner_hwnd, SW_SHOW);

    std::atomic<HWND> modal_hwnd{nullptr};
    // The capture thread's part: post to the owner while the modal dialog
    // runs, then close the dialog as the user's Escape would.
    std::thread poster([&] {
        while (!modal_hwnd.load()) {
            Sleep(10);
        }
        for (int i = 0; i < 50; ++i) {
            PostMessageW(owner_hwnd, kTick, 0, 0);
        }
        while (owner.ticks.load() < 50) {
            Sleep(10);
        }
        PostMessageW(modal_hwnd.load(), WM_COMMAND, IDCANCEL, 0);
    });
    // The modal dialog tells the poster its handle from WM_INITDIALOG.
    struct CAnnouncing : CDialogImpl<CAnnouncing> {
        enum { IDD = IDD_ABOUTBOX };
        std::atomic<HWND>* out = nullptr;
        BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM, LRESULT& result,
                                  DWORD) override {
            if (message == WM_INITDIALOG) {
                out->store(hwnd);
                result = 1;
                return TRUE;
            }
            if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
                EndDialog(LOWORD(wparam));
                result = 0;
                return TRUE;
            }
            return FALSE;
        }
    } announcing;
    announcing.out = &modal_hwnd;
    const INT_PTR result = announcing.DoModal(owner_hwnd);
    poster.join();

    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(owner.ticks.load(), 50);
    EXPECT_FALSE(IsWindow(modal_hwnd.load())) << "the modal dialog is gone when DoModal returns";
    EXPECT_TRUE(IsWindowEnabled(owner_hwnd)) << "the owner is enabled again";
    DestroyWindow(owner_hwnd);
}

// ---- keyboard ----

class CMainProbe : public CDialogImpl<CMainProbe> {
  public:
    enum { IDD = IDD_MAINDLG };
    std::vector<WORD> commands;
    std::vector<UINT> link_notes; // the About link's notification codes

    BOOL ProcessWindowMessage(HWND, UINT message, WPARAM wparam, LPARAM lparam, LRESULT& result,
                              DWORD) override {
        if (message == WM_NOTIFY && wparam == IDC_ABOUT_LINK) {
            link_notes.push_back(reinterpret_cast<const NMHDR*>(lparam)->code);
            result = 0;
            return TRUE;
        }
        if (message == WM_INITDIALOG) {
            result = 1; // the dialog manager puts the focus on the first tab stop
            return TRUE;
        }
        if (message == WM_COMMAND) {
            commands.push_back(LOWORD(wparam));
            result = 0;
            return TRUE;
        }
        return FALSE;
    }
};

// A key as the keyboard delivers it: posted to the focused control, then
// taken from the queue and handed to the dialog manager, as the main
// window's message filter does.
void press(HWND dialog, WPARAM key) {
    PostMessageW(GetFocus(), WM_KEYDOWN, key, 1);
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

TEST(Keyboard, TabWalksTheMainWindowsTabStopsAndEscapeMeansCancel) {
    CMainProbe dlg;
    HWND hwnd = dlg.Create(nullptr);
    ASSERT_NE(hwnd, nullptr);
    ShowWindow(hwnd, SW_SHOW);
    EXPECT_EQ(GetFocus(), GetDlgItem(hwnd, IDC_DEVICE)) << "the first tab stop";
    // The template's tab stops in order; the peak display is none.
    for (int id : {IDC_ABOUT_LINK, IDC_START, IDC_BITRATE, IDC_STOP, IDC_FOLDER, IDC_CHANGE_FOLDER,
                   IDC_DEVICE}) {
        press(hwnd, VK_TAB);
        EXPECT_EQ(GetFocus(), GetDlgItem(hwnd, id)) << "Tab should reach control " << id;
    }
    // A disabled control is passed over.
    EnableWindow(GetDlgItem(hwnd, IDC_ABOUT_LINK), FALSE);
    press(hwnd, VK_TAB);
    EXPECT_EQ(GetFocus(), GetDlgItem(hwnd, IDC_START));
    EXPECT_TRUE(dlg.commands.empty());
    // On the link, as the link control has it: Enter notifies NM_RETURN
    // (a click would be NM_CLICK), Space does nothing.
    EnableWindow(GetDlgItem(hwnd, IDC_ABOUT_LINK), TRUE);
    SetFocus(GetDlgItem(hwnd, IDC_ABOUT_LINK));
    press(hwnd, VK_SPACE);
    press(hwnd, VK_RETURN);
    EXPECT_EQ(dlg.link_notes, std::vector<UINT>{NM_RETURN});
    EXPECT_TRUE(dlg.commands.empty()) << "Enter on a link presses no button";
    press(hwnd, VK_ESCAPE);
    ASSERT_EQ(dlg.commands.size(), 1u);
    EXPECT_EQ(dlg.commands[0], IDCANCEL);
    DestroyWindow(hwnd);
}

// ---- centring ----

TEST(CenterWindow, MainWindowLandsInTheMiddleOfItsWorkArea) {
    CProbeDlg dlg;
    HWND hwnd = dlg.Create(nullptr);
    ASSERT_NE(hwnd, nullptr);
    ASSERT_TRUE(dlg.CenterWindow());
    RECT window{};
    ASSERT_TRUE(GetWindowRect(hwnd, &window));
    MONITORINFO info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &info));
    const LONG width = window.right - window.left;
    const LONG height = window.bottom - window.top;
    EXPECT_EQ(window.left, (info.rcWork.left + info.rcWork.right) / 2 - width / 2);
    EXPECT_EQ(window.top, (info.rcWork.top + info.rcWork.bottom) / 2 - height / 2);
    DestroyWindow(hwnd);
}

TEST(CenterWindow, OwnedDialogIsCentredOnItsVisibleOwnerAndKeptInsideTheWorkArea) {
    CProbeDlg owner;
    HWND owner_hwnd = owner.Create(nullptr);
    ASSERT_NE(owner_hwnd, nullptr);
    ShowWindow(owner_hwnd, SW_SHOW);
    MONITORINFO info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(owner_hwnd, MONITOR_DEFAULTTONEAREST), &info));
    // The owner hangs over the left edge: the dialog is pushed back inside.
    ASSERT_TRUE(SetWindowPos(owner_hwnd, nullptr, info.rcWork.left - 300, info.rcWork.top + 10, 0,
                             0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    RECT owner_rect{};
    GetWindowRect(owner_hwnd, &owner_rect);
    CProbeDlg owned;
    HWND owned_hwnd = owned.Create(owner_hwnd);
    ASSERT_NE(owned_hwnd, nullptr);
    ASSERT_TRUE(owned.CenterWindow());
    RECT r{};
    GetWindowRect(owned_hwnd, &r);
    const LONG height = r.bottom - r.top;
    EXPECT_EQ(r.left, info.rcWork.left);
    EXPECT_EQ(r.top, (owner_rect.top + owner_rect.bottom) / 2 - height / 2);
    DestroyWindow(owned_hwnd);
    DestroyWindow(owner_hwnd);
}

} // namespace
