// The Linux build's modal helpers on a real GTK display: popup menus with
// TrackPopupMenu(TPM_RETURNCMD), message boxes and the folder browser wait
// for the user while the thread's queue keeps being dispatched. The keys
// come from xdotool, as a user's would.
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <vector>
#include <atomic>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "dialog.h"
#include "resource.h"
#include "temp_dir.h"

namespace {

constexpr UINT kTick = WM_USER + 200;

class CReceiver : public CDialogImpl<CReceiver> {
  public:
    enum { IDD = IDD_ABOUTBOX };
    std::atomic<int> ticks{0};
    std::atomic<int> timers{0};
    std::vector<WORD> commands; // the buttons pressed, on this thread

    BOOL ProcessWindowMessage(HWND, UINT message, WPARAM wparam, LPARAM, LRESULT& result,
                              DWORD) override {
        if (message == WM_INITDIALOG) {
            result = 1;
            return TRUE;
        }
        if (message == WM_COMMAND) {
            commands.push_back(LOWORD(wparam));
            result = 0;
            return TRUE;
        }
        if (message == kTick || message == WM_TIMER) {
            ++(message == WM_TIMER ? timers : ticks);
            result = 0;
            return TRUE;
        }
        return FALSE;
    }
};

// The visible top-level windows of the display whose title matches `name`
// (all, menus included, by default).
int visible_windows(const std::string& name = "") {
    const std::string command =
        "xdotool search --onlyvisible --maxdepth 1 --name '" + name + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        return -1;
    }
    int count = 0;
    for (int c; (c = fgetc(pipe)) != EOF;) {
        count += c == '\n';
    }
    pclose(pipe);
    return count;
}

// Once the modal wait's window is on the screen (one more than now), posts
// ticks to `window` from another thread, waits until all were handled, then
// presses `keys`.
std::thread tick_then_press(HWND window, CReceiver& receiver, std::string keys) {
    const int before = visible_windows();
    return std::thread([=, &receiver] {
        for (int i = 0; i < 1000 && visible_windows() <= before; ++i) {
            Sleep(10);
        }
        for (int i = 0; i < 20; ++i) {
            PostMessageW(window, kTick, 0, 0);
        }
        for (int i = 0; i < 500 && receiver.ticks.load() < 20; ++i) {
            Sleep(10);
        }
        const std::string command = "xdotool key --delay 80 " + keys;
        EXPECT_EQ(system(command.c_str()), 0);
    });
}

struct ModalFixture : ::testing::Test {
    CReceiver owner;
    HWND hwnd = nullptr;
    void SetUp() override {
        hwnd = owner.Create(nullptr);
        ASSERT_NE(hwnd, nullptr);
        ShowWindow(hwnd, SW_SHOW);
    }
    void TearDown() override { DestroyWindow(hwnd); }

    HMENU bit_rates() {
        HMENU menu = CreatePopupMenu();
        const WCHAR* texts[] = {L"128K bps", L"192K bps", L"224K bps", L"320K bps"};
        for (UINT i = 0; i < 4; ++i) {
            EXPECT_TRUE(AppendMenuW(menu, MF_STRING, 40001 + i, texts[i]));
        }
        return menu;
    }
};

TEST_F(ModalFixture, PopupMenuReturnsTheChosenCommandAndKeepsDispatching) {
    HMENU menu = bit_rates();
    std::thread user = tick_then_press(hwnd, owner, "Down Down Return");
    POINT at{};
    ASSERT_TRUE(GetCursorPos(&at));
    const BOOL chosen = TrackPopupMenu(menu, TPM_RETURNCMD, at.x, at.y, 0, hwnd, nullptr);
    user.join();
    EXPECT_EQ(chosen, 40002) << "the second item";
    EXPECT_EQ(owner.ticks.load(), 20);
    EXPECT_TRUE(DestroyMenu(menu));
    EXPECT_FALSE(DestroyMenu(menu)) << "a destroyed menu is no menu";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_MENU_HANDLE));
}

TEST_F(ModalFixture, DismissedPopupMenuReturnsZero) {
    HMENU menu = bit_rates();
    std::thread user = tick_then_press(hwnd, owner, "Escape");
    const BOOL chosen = TrackPopupMenu(menu, TPM_RETURNCMD, 100, 100, 0, hwnd, nullptr);
    user.join();
    EXPECT_EQ(chosen, 0);
    DestroyMenu(menu);
}

TEST_F(ModalFixture, MessageBoxWaitsForOkAndKeepsDispatching) {
    std::thread user = tick_then_press(hwnd, owner, "Return");
    const int answer = MessageBoxW(hwnd, L"音频捕获出错", L"", MB_OK);
    user.join();
    EXPECT_EQ(answer, IDOK);
    EXPECT_EQ(owner.ticks.load(), 20);
    EXPECT_TRUE(IsWindowEnabled(hwnd)) << "the owner takes input again";
}

// A held Return closes the box at its press and stays there: once the box is
// gone and the owner has the keyboard, the key's repeats do not press the
// owner's default button. Escape, a new press, still reaches the owner.
TEST_F(ModalFixture, HeldReturnThatClosesABoxStaysInTheBox) {
    std::thread user([] {
        for (int i = 0; i < 1000 && visible_windows("^Box$") == 0; ++i) {
            Sleep(10);
        }
        EXPECT_EQ(system("xdotool keydown Return"), 0);
        for (int i = 0; i < 1000 && visible_windows("^Box$") != 0; ++i) {
            Sleep(10);
        }
        // Held for a second in the owner, past the server's repeat delay.
        // (Two commands: keys sent after a search would go to the found
        // window as events of its own, not through the keyboard.)
        EXPECT_EQ(system("xdotool search --onlyvisible --name '^About$' windowfocus --sync %1"), 0);
        EXPECT_EQ(system("xdotool sleep 1 keyup Return key Escape"), 0);
    });
    EXPECT_EQ(MessageBoxW(hwnd, L"音频捕获出错", L"Box", MB_OK), IDOK);
    ASSERT_EQ(SetTimer(hwnd, 22, 20000, nullptr), 22u); // gives up on a lost Escape
    MSG msg;
    while (std::find(owner.commands.begin(), owner.commands.end(), IDCANCEL) ==
               owner.commands.end() &&
           GetMessageW(&msg, nullptr, 0, 0) > 0 && !(msg.message == WM_TIMER && msg.wParam == 22)) {
        if (!IsDialogMessageW(hwnd, &msg)) {
            DispatchMessageW(&msg);
        }
    }
    KillTimer(hwnd, 22);
    user.join();
    EXPECT_EQ(owner.commands, std::vector<WORD>{IDCANCEL}) << "IDOK is the held Return's repeats";
}

// This thread serves the toolkit, so it waits in the toolkit's loop; a due
// timer must end that wait as a post does. Modal loops wait the same way.
TEST_F(ModalFixture, ToolkitThreadWakesForATimerAndTheDialogGetsIt) {
    ASSERT_EQ(SetTimer(hwnd, 21, 30, nullptr), 21u);
    int seen = 0;
    MSG msg;
    while (seen < 3 && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (msg.message == WM_TIMER) {
            EXPECT_EQ(msg.hwnd, hwnd);
            EXPECT_EQ(msg.wParam, 21u);
            ++seen;
        }
        DispatchMessageW(&msg);
    }
    EXPECT_TRUE(KillTimer(hwnd, 21));
    EXPECT_EQ(owner.timers.load(), 3) << "DispatchMessageW took each to the dialog";
}

TEST_F(ModalFixture, CancelledFolderBrowserGivesNoItemList) {
    std::thread user = tick_then_press(hwnd, owner, "Escape");
    BROWSEINFOW info{};
    info.hwndOwner = hwnd;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&info);
    user.join();
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(owner.ticks.load(), 20);
    EXPECT_TRUE(IsWindowEnabled(hwnd));
}

// GLib reads the home folder once per process, so the check runs in a fresh
// copy of this test program whose home is a new, empty folder.
TEST(Shell, MusicFolderIsMadeWhenMissingAndHomeIsTheEnvironments) {
    if (const char* home = getenv("SONARET_TEST_FRESH_HOME")) {
        WCHAR path[MAX_PATH];
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_MYMUSIC, nullptr, SHGFP_TYPE_CURRENT, path),
                  S_OK);
        const std::filesystem::path expected = std::filesystem::path(home) / "Music";
        EXPECT_EQ(std::wstring(path), expected.wstring());
        EXPECT_TRUE(std::filesystem::is_directory(expected));
        EXPECT_EQ(SHGetFolderPathW(nullptr, 0x0005, nullptr, 0, path), E_INVALIDARG)
            << "only the music and home folders";
        // The home folder, read from the environment at each call.
        ASSERT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, path),
                  S_OK);
        EXPECT_EQ(std::wstring(path), std::filesystem::path(home).wstring());
        setenv("HOME", (std::string(home) + "/gone").c_str(), 1);
        EXPECT_EQ(SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, path),
                  E_FAIL)
            << "a home that does not exist is no folder";
        EXPECT_EQ(path[0], 0);
        return;
    }
    TempDir home;
    ASSERT_FALSE(std::filesystem::exists(home.path() / "Music"));
    const std::string command = "env HOME='" + home.path().string() + "' XDG_CONFIG_HOME='" +
                                (home.path() / "config").string() + "' SONARET_TEST_FRESH_HOME='" +
                                home.path().string() + "' /proc/" + std::to_string(getpid()) +
                                "/exe --gtest_filter=Shell.MusicFolderIsMadeWhenMissingAndHomeIsTheEnvironments >/dev/null";
    EXPECT_EQ(system(command.c_str()), 0) << "the check in the fresh process failed";
    EXPECT_TRUE(std::filesystem::is_directory(home.path() / "Music"));
}

TEST(Shell, BadArgumentsAreRefused) {
    EXPECT_LE(reinterpret_cast<intptr_t>(
                  ShellExecuteW(nullptr, L"open", L"", nullptr, nullptr, SW_SHOWNORMAL)),
              32);
    EXPECT_LE(reinterpret_cast<intptr_t>(
                  ShellExecuteW(nullptr, L"print", L"/tmp", nullptr, nullptr, SW_SHOWNORMAL)),
              32);
    WCHAR path[MAX_PATH] = L"x";
    EXPECT_FALSE(SHGetPathFromIDListW(nullptr, path));
    // An item list whose size field lies is refused, not read past its end.
    unsigned char bad[6] = {3, 0, 0, 0, 0, 0};
    EXPECT_FALSE(SHGetPathFromIDListW(reinterpret_cast<PCIDLIST_ABSOLUTE>(bad), path));
    EXPECT_EQ(path[0], L'\0');
}

// The recording notice: Chinese glyphs in the text colour on a page, each one
// different (a missing glyph would be the same empty box four times).
TEST(GdiText, ChineseNoticeIsDrawnInTheTextColour) {
    HDC screen = GetDC(nullptr);
    HDC page = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 160, 60);
    HGDIOBJ old = SelectObject(page, bitmap);
    HBRUSH background = CreateSolidBrush(RGB(0, 30, 60));
    RECT all{0, 0, 160, 60};
    FillRect(page, &all, background);
    DeleteObject(background);
    SetBkMode(page, TRANSPARENT);
    SetTextColor(page, RGB(250, 0, 0));
    const WCHAR* notice = L"正在录音";
    ASSERT_TRUE(TextOutW(page, 20, 20, notice, lstrlenW(notice)));

    int left = 160, right = -1, top = 60, bottom = -1, red = 0;
    for (int y = 0; y < 60; ++y) {
        for (int x = 0; x < 160; ++x) {
            const COLORREF c = GetPixel(page, x, y);
            if (GetRValue(c) > 150 && GetGValue(c) < 60) {
                ++red;
                left = std::min(left, x);
                right = std::max(right, x);
                top = std::min(top, y);
                bottom = std::max(bottom, y);
            }
        }
    }
    EXPECT_GT(red, 60) << "the notice is drawn";
    EXPECT_GE(left, 20);
    EXPECT_GE(top, 20);
    // Four cells of equal width; no two alike.
    std::vector<std::string> cells(4);
    const int cell = (right - left + 1) / 4;
    ASSERT_GT(cell, 4);
    for (int i = 0; i < 4; ++i) {
        for (int y = top; y <= bottom; ++y) {
            for (int x = left + i * cell; x < left + (i + 1) * cell; ++x) {
                cells[i] += GetRValue(GetPixel(page, x, y)) > 150 ? '#' : '.';
            }
        }
    }
    for (int i = 0; i < 4; ++i) {
        for (int j = i + 1; j < 4; ++j) {
            EXPECT_NE(cells[i], cells[j]) << "glyphs " << i << " and " << j << " look the same";
        }
    }
    SelectObject(page, old);
    DeleteObject(bitmap);
    DeleteDC(page);
    ReleaseDC(nullptr, screen);
}

} // namespace
