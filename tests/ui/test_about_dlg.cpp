// The About box on the real dialog system: opened modally over a main
// window, its texts after initialisation, the ways it ends, where it is
// centred, and the main window's messages (the peak display's updates) that
// keep being handled while it is open.
#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "about_dlg.h"
#include "dialog.h"
#include "peak_display.h"
#include "resource.h"
#include "sample_sink.h"
#include "window_messages.h"

namespace {

constexpr UINT kInspect = WM_USER + 31; // runs the owner's inspection, inside the modal loop

// Stands in for the main window: template 129 with a live peak display, and
// a hook that runs on the window thread while the About box is open.
class COwner : public CDialogImpl<COwner> {
  public:
    enum { IDD = IDD_MAINDLG };
    PeakDisplay display;
    int updates = 0;
    int updates_while_disabled = 0;
    std::function<void()> inspect;

    BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM, LPARAM, LRESULT& result,
                              DWORD) override {
        switch (message) {
        case WM_INITDIALOG:
            display.Setup(::GetDlgItem(hwnd, IDC_PEAK));
            result = 1;
            return TRUE;
        case WM_DESTROY:
            display.Destroy();
            return FALSE;
        case WM_LEVEL_UPDATE:
            display.OnLevelUpdate(0.5f, 0);
            ++updates;
            // A modal dialog disables its owner: then the modal loop
            // dispatched this.
            updates_while_disabled += !::IsWindowEnabled(hwnd);
            result = 0;
            return TRUE;
        case kInspect:
            if (inspect) {
                inspect();
            }
            result = 0;
            return TRUE;
        }
        return FALSE;
    }
};

std::wstring text_of(HWND window) {
    WCHAR buffer[512] = {};
    GetWindowTextW(window, buffer, 512);
    return buffer;
}

// What the About box looked like while it was open.
struct Seen {
    HWND about = nullptr;
    HWND parent = nullptr;
    int focus_id = 0;
    std::wstring contact, credits, features;
    std::wstring links[3]; // 1020, 1024, 1025, markup taken out
    RECT rect{};
};

std::wstring without_markup(std::wstring text) {
    for (const wchar_t* tag : {L"<a>", L"</a>"}) {
        for (size_t at; (at = text.find(tag)) != std::wstring::npos;) {
            text.erase(at, wcslen(tag));
        }
    }
    return text;
}

struct AboutBox : ::testing::Test {
    COwner owner;
    HWND hwnd = nullptr;
    Seen seen;

    void SetUp() override {
        PeakDisplay::ColumnCounter() = 0;
        hwnd = owner.Create(nullptr);
        ASSERT_NE(hwnd, nullptr);
        ShowWindow(hwnd, SW_SHOW);
    }
    void TearDown() override {
        if (IsWindow(hwnd)) {
            DestroyWindow(hwnd);
        }
    }

    // Opens the box over `over`; once it is up, records what it shows and
    // then does `close` to it, as the user would.
    INT_PTR open(HWND over, std::function<void(HWND about)> close) {
        owner.inspect = [this, close] {
            HWND about = GetActiveWindow();
            seen.about = about;
            seen.parent = GetParent(about);
            seen.focus_id = GetDlgCtrlID(GetFocus());
            seen.contact = text_of(GetDlgItem(about, IDC_CONTACT));
            seen.credits = text_of(GetDlgItem(about, IDC_CREDITS));
            seen.features = text_of(GetDlgItem(about, IDC_FEATURES));
            const int links[] = {IDC_LINK_SOURCE, IDC_LINK_HOME, IDC_LINK_AUTHOR};
            for (int i = 0; i < 3; ++i) {
                seen.links[i] = without_markup(text_of(GetDlgItem(about, links[i])));
            }
            GetWindowRect(about, &seen.rect);
            close(about);
        };
        PostMessageW(hwnd, kInspect, 0, 0);
        CAboutDlg dlg;
        const INT_PTR result = dlg.DoModal(over);
        owner.inspect = nullptr;
        return result;
    }
};

// A key as the keyboard delivers it, to the focused control.
void press(WPARAM key) {
    PostMessageW(GetFocus(), WM_KEYDOWN, key, 1);
}

TEST_F(AboutBox, ShowsItsTextsAndEscapeEndsItWithTwo) {
    const INT_PTR result = open(hwnd, [](HWND) { press(VK_ESCAPE); });
    EXPECT_EQ(result, IDCANCEL);
    ASSERT_NE(seen.about, nullptr);
    EXPECT_NE(seen.about, hwnd);
    EXPECT_EQ(seen.parent, hwnd) << "owned by the window it was opened over";
    EXPECT_EQ(seen.focus_id, IDOK) << "the first tab stop";
    EXPECT_EQ(seen.credits, L"mp3编码器使用了lame\r\n音频捕获参考了OBS\r\n图标来源于网络");
    EXPECT_EQ(seen.features,
              L"特点：\r\n1、支持电脑内录，录制电脑播放的音频；\r\n2、体积小，绿色单文件；\r\n"
              L"3、开源免费，无广告，无流氓行为；\r\n");
    EXPECT_EQ(seen.contact, L"问题与建议请写信给\r\nhello@sonaret.example\r\n欢迎反馈");
    // Each link shows the address its click opens (the same definitions).
    EXPECT_EQ(seen.links[0], L"项目地址 " SONARET_URL_SOURCE L" ");
    EXPECT_EQ(seen.links[1], L"项目主页 " SONARET_URL_HOME);
    EXPECT_EQ(seen.links[2], L"个人主页  " SONARET_URL_AUTHOR);

    EXPECT_FALSE(IsWindow(seen.about)) << "gone when the modal call returns";
    EXPECT_TRUE(IsWindowEnabled(hwnd)) << "the owner takes input again";
}

TEST_F(AboutBox, OkEndsItWithOneAndTheCloseBoxWithTwo) {
    EXPECT_EQ(open(hwnd, [](HWND) { press(VK_RETURN); }), IDOK);
    EXPECT_EQ(open(hwnd, [](HWND about) { PostMessageW(GetDlgItem(about, IDOK), BM_CLICK, 0, 0); }),
              IDOK);
    EXPECT_EQ(open(hwnd, [](HWND about) { PostMessageW(about, WM_SYSCOMMAND, SC_CLOSE, 0); }),
              IDCANCEL);
}

TEST_F(AboutBox, ShowOpensItOverTheActiveWindow) {
    ASSERT_EQ(GetActiveWindow(), hwnd);
    bool closed = false;
    owner.inspect = [&] {
        HWND about = GetActiveWindow();
        seen.about = about;
        seen.parent = GetParent(about);
        seen.contact = text_of(GetDlgItem(about, IDC_CONTACT));
        press(VK_ESCAPE);
        closed = true;
    };
    PostMessageW(hwnd, kInspect, 0, 0);
    CAboutDlg::Show();
    EXPECT_TRUE(closed);
    EXPECT_EQ(seen.parent, hwnd);
    EXPECT_FALSE(seen.contact.empty()) << "initialised";
    EXPECT_FALSE(IsWindow(seen.about));
}

// The test display is 1280 by 800 on both builds, with no panel: all of it
// is work area.
constexpr RECT kWorkArea = {0, 0, 1280, 800};

TEST_F(AboutBox, CentredOnAVisibleOwnerAndKeptInsideTheWorkArea) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &info));
    ASSERT_EQ(info.rcWork.left, kWorkArea.left);
    ASSERT_EQ(info.rcWork.top, kWorkArea.top);
    ASSERT_EQ(info.rcWork.right, kWorkArea.right);
    ASSERT_EQ(info.rcWork.bottom, kWorkArea.bottom);
    auto escape = [](HWND) { press(VK_ESCAPE); };

    // Well inside the work area: centred on the owner, which is put with
    // its centre at (600, 400).
    RECT o{};
    GetWindowRect(hwnd, &o);
    ASSERT_TRUE(SetWindowPos(hwnd, nullptr, 600 - (o.right - o.left) / 2,
                             400 - (o.bottom - o.top) / 2, 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    open(hwnd, escape);
    const LONG w = seen.rect.right - seen.rect.left;
    const LONG h = seen.rect.bottom - seen.rect.top;
    ASSERT_GT(w, 100);
    ASSERT_GT(h, 100);
    EXPECT_EQ(seen.rect.left, 600 - w / 2);
    EXPECT_EQ(seen.rect.top, 400 - h / 2);

    // The owner near the bottom right: the box is pushed back inside.
    ASSERT_TRUE(SetWindowPos(hwnd, nullptr, 1130, 700, 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    open(hwnd, escape);
    EXPECT_EQ(seen.rect.right, 1280);
    EXPECT_EQ(seen.rect.bottom, 800);
    EXPECT_EQ(seen.rect.right - seen.rect.left, w) << "moved, not resized";
    EXPECT_EQ(seen.rect.bottom - seen.rect.top, h);

    // Partly off the top left of the screen: pushed in from there.
    ASSERT_TRUE(SetWindowPos(hwnd, nullptr, -350, -250, 0, 0,
                             SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE));
    open(hwnd, escape);
    EXPECT_EQ(seen.rect.left, 0);
    EXPECT_EQ(seen.rect.top, 0);
}

TEST_F(AboutBox, HiddenOwnerMeansTheWorkAreaIsTheCentre) {
    ShowWindow(hwnd, SW_HIDE);
    open(hwnd, [](HWND) { press(VK_ESCAPE); });
    ASSERT_NE(seen.about, nullptr);
    const LONG w = seen.rect.right - seen.rect.left;
    const LONG h = seen.rect.bottom - seen.rect.top;
    // The centre of the 1280 by 800 work area.
    EXPECT_EQ(seen.rect.left, 640 - w / 2);
    EXPECT_EQ(seen.rect.top, 400 - h / 2);
    // And the same without any owner.
    open(nullptr, [](HWND) { press(VK_ESCAPE); });
    EXPECT_EQ(seen.parent, nullptr);
    EXPECT_EQ(seen.rect.left, 640 - w / 2);
    EXPECT_EQ(seen.rect.top, 400 - h / 2);
}

TEST_F(AboutBox, PeakDisplayKeepsMovingBehindIt) {
    // The capture thread's posts, waiting when the box opens.
    for (int i = 0; i < 30; ++i) {
        PostMessageW(hwnd, WM_LEVEL_UPDATE, 0, 0);
    }
    int updates_when_open = -1;
    const INT_PTR result = open(hwnd, [&](HWND) {
        updates_when_open = owner.updates;
        press(VK_ESCAPE);
    });
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_EQ(updates_when_open, 30) << "handled while the box was up";
    EXPECT_EQ(owner.updates_while_disabled, 30) << "by the modal loop";
    EXPECT_EQ(PeakDisplay::ColumnCounter(), 30);

    // The strip went on behind the box: the next update shows the lines of
    // those updates at the right edge.
    // First the repainting where the box was (on Windows the control paints
    // itself black there), then the update alone, as it would come.
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
    }
    PostMessageW(hwnd, WM_LEVEL_UPDATE, 0, 0);
    while (PeekMessageW(&msg, hwnd, WM_LEVEL_UPDATE, WM_LEVEL_UPDATE, PM_REMOVE)) {
        DispatchMessageW(&msg);
    }
    ASSERT_EQ(owner.updates, 31);
    const PeakDisplay& d = owner.display;
    const int middle = d.m_height / 2;
    for (int x = d.m_width - 3; x < d.m_width; ++x) {
        EXPECT_EQ(GetPixel(d.m_screen, x, middle), RGB(0, 255, 0)) << "column " << x;
    }
}

} // namespace
