// The About box's links on the Linux build: a mouse click (from xdotool) on
// each link, or Enter on the one that has the focus, opens its address through the desktop's default handler for web
// addresses and leaves the box open. The handler is a script of the test's
// own, registered in a private XDG data and configuration folder; GLib reads
// those folders once per process, so the clicks happen in a fresh copy of
// this test program that starts with them.
#include <windows.h>
#include <commctrl.h>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "about_dlg.h"
#include "dialog.h"
#include "resource.h"
#include "temp_dir.h"

namespace {

constexpr UINT kFound = WM_USER + 41; // the About box is up: wParam is its handle
constexpr UINT kCheck = WM_USER + 42; // is it still open?
constexpr UINT kFocus = WM_USER + 43; // the keyboard's focus to the home link

std::vector<std::string> lines_of(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

class COwner : public CDialogImpl<COwner> {
  public:
    enum { IDD = IDD_MAINDLG };
    std::atomic<HWND> about{nullptr};
    RECT links[3] = {}; // screen rectangles of 1020, 1024, 1025, set before `about`
    RECT box_rect = {}; // the box's own, set before `about`
    std::vector<bool> open_after_click;
    std::atomic<bool> focused{false};

    BOOL ProcessWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT& result, DWORD) override {
        switch (message) {
        case WM_INITDIALOG:
            result = 1;
            return TRUE;
        case kFound: {
            HWND box = GetActiveWindow();
            const int ids[] = {IDC_LINK_SOURCE, IDC_LINK_HOME, IDC_LINK_AUTHOR};
            for (int i = 0; i < 3; ++i) {
                GetWindowRect(::GetDlgItem(box, ids[i]), &links[i]);
            }
            GetWindowRect(box, &box_rect);
            about = box;
            result = 0;
            return TRUE;
        }
        case kFocus:
            ::SetFocus(::GetDlgItem(about, IDC_LINK_HOME));
            focused = true;
            result = 0;
            return TRUE;
        case kCheck:
            open_after_click.push_back(IsWindow(about) && IsWindowVisible(about));
            result = 0;
            return TRUE;
        }
        return FALSE;
    }
};

// Runs in the fresh process: SONARET_TEST_LINKS_OUT names the file that the
// handler appends each address it is given to.
void click_links(const std::string& out) {
    COwner owner;
    HWND hwnd = owner.Create(nullptr);
    ASSERT_NE(hwnd, nullptr);
    ShowWindow(hwnd, SW_SHOW);

    std::thread user([&] {
        while (!owner.about.load()) {
            Sleep(20);
        }
        // 1020 twice, then 1024 and 1025; then Enter on 1024 (-1).
        const int order[] = {0, 0, 1, 2, -1};
        size_t clicks = 0;
        for (int link : order) {
            // Clicks closer together than the toolkit's double-click time
            // (400 ms by default) would make one double click; the first
            // waits for the box to be drawn.
            Sleep(700);
            std::string command = "xdotool key Return";
            if (link >= 0) {
                // On the link's text, which starts at its left edge.
                const RECT r = owner.links[link];
                command = "xdotool mousemove " + std::to_string(r.left + 24) + " " +
                          std::to_string((r.top + r.bottom) / 2) + " click 1";
            } else {
                PostMessageW(hwnd, kFocus, 0, 0);
                while (!owner.focused) {
                    Sleep(20);
                }
            }
            EXPECT_EQ(system(command.c_str()), 0);
            ++clicks;
            for (int i = 0; i < 1000 && lines_of(out).size() < clicks; ++i) {
                Sleep(20); // the handler is a process of its own
            }
            PostMessageW(hwnd, kCheck, 0, 0);
        }
        PostMessageW(owner.about.load(), WM_COMMAND, IDCANCEL, 0);
    });
    PostMessageW(hwnd, kFound, 0, 0);
    CAboutDlg::Show();
    user.join();
    // The last check may still wait in the queue.
    MSG msg{};
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        DispatchMessageW(&msg);
    }
    EXPECT_EQ(owner.open_after_click, std::vector<bool>(5, true)) << "the box stays open";
    DestroyWindow(hwnd);
}

TEST(AboutLinks, EachClickOpensTheAddressItShowsAndTheBoxStaysOpen) {
    if (const char* out = getenv("SONARET_TEST_LINKS_OUT")) {
        click_links(out);
        return;
    }
    TempDir home;
    const std::filesystem::path data = home.path() / "data";
    const std::filesystem::path config = home.path() / "config";
    std::filesystem::create_directories(data / "applications");
    std::filesystem::create_directories(config);
    const std::string out = home.file("opened.txt");
    const std::string handler = home.file("browser.sh");
    {
        std::ofstream script(handler);
        script << "#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" << out << "'\n";
    }
    std::filesystem::permissions(handler, std::filesystem::perms::owner_all);
    {
        std::ofstream entry(data / "applications" / "sonaret-test-browser.desktop");
        entry << "[Desktop Entry]\nType=Application\nName=Test browser\nExec=" << handler
              << " %u\nMimeType=x-scheme-handler/https;\nNoDisplay=true\n";
    }
    {
        std::ofstream list(config / "mimeapps.list");
        list << "[Default Applications]\nx-scheme-handler/https=sonaret-test-browser.desktop\n";
    }
    const std::string command =
        "env XDG_DATA_HOME='" + data.string() + "' XDG_CONFIG_HOME='" + config.string() +
        "' SONARET_TEST_LINKS_OUT='" + out + "' /proc/" + std::to_string(getpid()) +
        "/exe --gtest_filter=AboutLinks.EachClickOpensTheAddressItShowsAndTheBoxStaysOpen";
    EXPECT_EQ(system(command.c_str()), 0) << "the clicks in the fresh process failed";
    const std::vector<std::string> expected = {SONARET_URL_SOURCE, SONARET_URL_SOURCE,
                                               SONARET_URL_HOME, SONARET_URL_AUTHOR,
                                               SONARET_URL_HOME};
    EXPECT_EQ(lines_of(out), expected);
}

// The toolkit must not grow a dialog past its template's size for texts
// that wrap: the box's lines once made it taller than the screen.
TEST(AboutWindow, OnTheScreenItIsAsLargeAsItsTemplate) {
    COwner owner;
    HWND hwnd = owner.Create(nullptr);
    ASSERT_NE(hwnd, nullptr);
    ShowWindow(hwnd, SW_SHOW);
    std::string geometry;
    std::thread user([&] {
        while (!owner.about.load()) {
            Sleep(20);
        }
        Sleep(500); // drawn and laid out by then
        if (FILE* pipe = popen("xdotool search --onlyvisible --name '^About$' "
                               "getwindowgeometry --shell 2>/dev/null",
                               "r")) {
            char line[128];
            while (fgets(line, sizeof line, pipe)) {
                geometry += line;
            }
            pclose(pipe);
        }
        PostMessageW(owner.about.load(), WM_COMMAND, IDCANCEL, 0);
    });
    PostMessageW(hwnd, kFound, 0, 0);
    CAboutDlg::Show();
    user.join();
    DestroyWindow(hwnd);
    const RECT r = owner.box_rect;
    EXPECT_NE(geometry.find("WIDTH=" + std::to_string(r.right - r.left) + "\n"), std::string::npos)
        << geometry;
    EXPECT_NE(geometry.find("HEIGHT=" + std::to_string(r.bottom - r.top) + "\n"), std::string::npos)
        << geometry;
}

} // namespace
