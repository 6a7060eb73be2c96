// Pages kept with the display: what the X server shows of the peak display,
// read back from the server, is exactly what GDI drew, after the strip has
// scrolled and wrapped while the notice is written over it.
#include <windows.h>

#include <stdlib.h>

#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "dialog.h"
#include "peak_display.h"
#include "resource.h"

// Last: Xlib's macros (None, Bool, Status) would rename what the others declare.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

class CPeakHost : public CDialogImpl<CPeakHost> {
  public:
    enum { IDD = IDD_MAINDLG };
    BOOL ProcessWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT& result, DWORD) override {
        if (message == WM_INITDIALOG) {
            result = 1;
            return TRUE;
        }
        return FALSE;
    }
};

// The control's pixels on the X server's screen (0x00RRGGBB), empty when
// they can't be read.
std::vector<uint32_t> on_screen(Display* x, HWND control) {
    RECT r{};
    GetWindowRect(control, &r);
    XImage* image = XGetImage(x, DefaultRootWindow(x), r.left, r.top, r.right - r.left,
                              r.bottom - r.top, AllPlanes, ZPixmap);
    std::vector<uint32_t> pixels;
    if (!image) {
        return pixels;
    }
    for (int y = 0; y < image->height; ++y) {
        for (int x_ = 0; x_ < image->width; ++x_) {
            pixels.push_back(static_cast<uint32_t>(XGetPixel(image, x_, y)) & 0xFFFFFF);
        }
    }
    XDestroyImage(image);
    return pixels;
}

std::vector<uint32_t> drawn(HDC dc, int width, int height) {
    std::vector<uint32_t> pixels;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const COLORREF c = GetPixel(dc, x, y);
            pixels.push_back(GetRValue(c) << 16 | GetGValue(c) << 8 | GetBValue(c));
        }
    }
    return pixels;
}

TEST(GdiDisplayPages, TheServerShowsExactlyWhatWasDrawnAfterScrollingAndAWrap) {
    const char* name = getenv("DISPLAY");
    if (!name || !*name) {
        GTEST_SKIP() << "pages live in the X server only on X11";
    }
    Display* x = XOpenDisplay(name);
    ASSERT_NE(x, nullptr);
    PeakDisplay::ColumnCounter() = 0;
    CPeakHost host;
    HWND hwnd = host.Create(nullptr);
    ASSERT_NE(hwnd, nullptr);
    ShowWindow(hwnd, SW_SHOW);
    HWND peak = GetDlgItem(hwnd, IDC_PEAK);
    PeakDisplay display;
    display.Setup(peak);
    const int w = display.m_width;
    const int h = display.m_height;

    // Runs the window's loop until the screen shows what GDI holds, for 10
    // seconds at most (a timer wakes the loop to look again).
    auto shown = [&] {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        SetTimer(hwnd, 1, 20, nullptr);
        const std::vector<uint32_t> expected = drawn(display.m_screen, w, h);
        bool same = false;
        MSG msg;
        while (!(same = on_screen(x, peak) == expected) &&
               std::chrono::steady_clock::now() < until && GetMessageW(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageW(&msg);
        }
        KillTimer(hwnd, 1);
        return same;
    };

    // Shown before its first copy, then copied inside the server: the strip
    // with the notice over it, after a wrap, and without it again.
    float level = 0.0f;
    auto passes = [&](int count, int32_t recording) {
        for (int i = 0; i < count; ++i) {
            level = level > 1.0f ? 0.05f : level + 0.07f;
            display.OnLevelUpdate(level, recording);
        }
    };
    passes(1, 0);
    EXPECT_TRUE(shown()) << "the first page";
    passes(40, 1);
    EXPECT_TRUE(shown()) << "the strip and the notice";
    passes(w + 1 - 41 + 20, 1);
    ASSERT_EQ(PeakDisplay::ColumnCounter(), 20);
    EXPECT_TRUE(shown()) << "after a wrap";
    passes(3, 0);
    EXPECT_TRUE(shown()) << "the notice gone";

    display.Destroy();
    DestroyWindow(hwnd);
    XCloseDisplay(x);
}

} // namespace
