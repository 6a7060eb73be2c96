// Pages kept with the display: what the display shows of a control, read
// back from the X server's screen (on Wayland, that of an X server weston is
// nested in), is exactly what GDI drew there: the peak display after its
// strip has scrolled and wrapped under the notice, and copies of a page
// drawn on again, or deleted, before the display's next frame.
#include <windows.h>

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include <gtest/gtest.h>

#include "dialog.h"
#include "gdi_page.h"
#include "peak_display.h"
#include "template_host.h"
#include "resource.h"

// Last: Xlib's macros (None, Bool, Status) would rename what the others declare.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

namespace {

// A width x height block of the X server's screen at (left, top), as
// 0x00RRGGBB rows; empty when it can't be read.
std::vector<uint32_t> on_screen(Display* x, int left, int top, int width, int height) {
    std::vector<uint32_t> pixels;
    // A block off the screen is an error the X server ends the program for.
    if (left < 0 || top < 0 || width <= 0 || height <= 0 ||
        left + width > DisplayWidth(x, DefaultScreen(x)) ||
        top + height > DisplayHeight(x, DefaultScreen(x))) {
        return pixels;
    }
    XImage* image =
        XGetImage(x, DefaultRootWindow(x), left, top, width, height, AllPlanes, ZPixmap);
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

// Where `block` (`width` pixels a row) is on `screen` (`screen_width` a
// row): the top-left of the first place that holds exactly its pixels.
bool find_block(const std::vector<uint32_t>& screen, int screen_width,
                const std::vector<uint32_t>& block, int width, POINT* at) {
    const int height = static_cast<int>(block.size()) / width;
    const int screen_height = static_cast<int>(screen.size()) / std::max(screen_width, 1);
    for (int y = 0; y + height <= screen_height; ++y) {
        for (int x = 0; x + width <= screen_width; ++x) {
            bool same = true;
            for (int j = 0; j < height && same; ++j) {
                same =
                    std::equal(block.begin() + static_cast<ptrdiff_t>(j) * width,
                               block.begin() + static_cast<ptrdiff_t>(j + 1) * width,
                               screen.begin() + static_cast<ptrdiff_t>(y + j) * screen_width + x);
            }
            if (same) {
                *at = POINT{x, y};
                return true;
            }
        }
    }
    return false;
}

// The main window's peak display control on the X server's screen, read
// back from it. On X11 the control is where its window rectangle says; on
// weston nested in X, where weston put the window, found on the screen.
struct GdiDisplayPages : ::testing::Test {
    Display* x = nullptr;
    CTemplateHost host;
    HWND hwnd = nullptr;
    HWND peak = nullptr;
    bool nested = false; // weston in the X server, not the X server itself
    RECT place{};

    void SetUp() override {
        const char* screen = getenv("SONARET_TEST_SCREEN");
        nested = screen && *screen;
        const char* name = nested ? screen : getenv("DISPLAY");
        if (!name || !*name) {
            GTEST_SKIP() << "the screen is read back on X11, and on weston nested in X";
        }
        x = XOpenDisplay(name);
        ASSERT_NE(x, nullptr);
        if (nested) {
            // weston draws the pointer into what it shows: into a corner with
            // it, away from the window.
            XWarpPointer(x, 0, DefaultRootWindow(x), 0, 0, 0, 0,
                         DisplayWidth(x, DefaultScreen(x)) - 1,
                         DisplayHeight(x, DefaultScreen(x)) - 1);
            XSync(x, False);
        }
        hwnd = host.Create(nullptr);
        ASSERT_NE(hwnd, nullptr);
        ShowWindow(hwnd, SW_SHOW);
        peak = GetDlgItem(hwnd, IDC_PEAK);
        // The toolkit's first drawing of the window is done (the dialog
        // around the control and the control's black are on the screen), so
        // that it can't later repaint what a test looks at.
        GetWindowRect(peak, &place);
        const std::vector<uint32_t> black(
            static_cast<size_t>(place.right - place.left) * (place.bottom - place.top), 0);
        ASSERT_TRUE(pump_until([&] {
            if ((nested && !find(black)) || !showing(black)) {
                return false;
            }
            const std::vector<uint32_t> left = on_screen(x, place.left - 2, place.top, 1, 1);
            return !left.empty() && left[0] != 0;
        }));
    }

    // On weston, where it put the window: `place` becomes where `pixels`,
    // the control's, are first found on the screen.
    bool find(const std::vector<uint32_t>& pixels) {
        RECT r{};
        GetWindowRect(peak, &r);
        const int width = r.right - r.left;
        const int screen_width = DisplayWidth(x, DefaultScreen(x));
        POINT at{};
        if (!find_block(on_screen(x, 0, 0, screen_width, DisplayHeight(x, DefaultScreen(x))),
                        screen_width, pixels, width, &at)) {
            return false;
        }
        place = RECT{at.x, at.y, at.x + width, at.y + r.bottom - r.top};
        return true;
    }

    // Whether the screen shows `pixels` as the control's: where its window
    // rectangle says on X11; on weston, where the set-up found it.
    bool showing(const std::vector<uint32_t>& pixels) {
        if (!nested) {
            GetWindowRect(peak, &place);
        }
        return shown_control() == pixels;
    }

    std::vector<uint32_t> shown_control() {
        return on_screen(x, place.left, place.top, place.right - place.left,
                         place.bottom - place.top);
    }
    void TearDown() override {
        if (hwnd) {
            DestroyWindow(hwnd);
        }
        if (x) {
            XCloseDisplay(x);
        }
    }

    // Runs the window's loop until `done()`, for 10 seconds at most. Each
    // look takes longer than the loop's timer period, as a slow handler
    // would, so the timer is due at every read of the queue: the window is
    // still drawn (the toolkit is served first).
    template <typename Done> bool pump_until(Done done) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        auto look = [&] {
            const auto period_passed = std::chrono::steady_clock::now() +
                                       std::chrono::milliseconds(USER_TIMER_MINIMUM + 2);
            const bool yes = done();
            while (std::chrono::steady_clock::now() < period_passed) {
            }
            return yes;
        };
        SetTimer(hwnd, 1, USER_TIMER_MINIMUM, nullptr);
        look();
        bool yes = false;
        MSG msg;
        while (!(yes = look()) && std::chrono::steady_clock::now() < until &&
               GetMessageW(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageW(&msg);
        }
        KillTimer(hwnd, 1);
        return yes;
    }

    // Whether the screen comes to show exactly what `dc` holds. weston
    // paints only what a frame says changed; covered and uncovered, its
    // screen is painted again from what the surfaces hold.
    bool shown(HDC dc) {
        RECT r{};
        GetWindowRect(peak, &r);
        const std::vector<uint32_t> expected = drawn(dc, r.right - r.left, r.bottom - r.top);
        if (nested) {
            if (!pump_until([&] { return showing(expected); })) {
                return false;
            }
            XSetWindowAttributes cover_attributes{};
            cover_attributes.override_redirect = True;
            cover_attributes.background_pixel = 0xFF00FF;
            const Window cover =
                XCreateWindow(x, DefaultRootWindow(x), 0, 0, DisplayWidth(x, DefaultScreen(x)),
                              DisplayHeight(x, DefaultScreen(x)), 0, CopyFromParent, InputOutput,
                              CopyFromParent, CWOverrideRedirect | CWBackPixel, &cover_attributes);
            XMapWindow(x, cover);
            XSync(x, False);
            XDestroyWindow(x, cover);
            XSync(x, False);
        }
        return pump_until([&] { return showing(expected); });
    }
};

TEST_F(GdiDisplayPages, TheServerShowsExactlyWhatWasDrawnAfterScrollingAndAWrap) {
    PeakDisplay::ColumnCounter() = 0;
    PeakDisplay display;
    display.Setup(peak);
    const int w = display.m_width;

    // Shown before its first copy, then copied inside the server: the strip
    // with the notice over it, after a wrap, and without it again. Many
    // passes come within one frame.
    float level = 0.0f;
    auto passes = [&](int count, int32_t recording) {
        for (int i = 0; i < count; ++i) {
            level = level > 1.0f ? 0.05f : level + 0.07f;
            display.OnLevelUpdate(level, recording);
        }
    };
    passes(1, 0);
    EXPECT_TRUE(shown(display.m_screen)) << "the first page";
    passes(40, 1);
    EXPECT_TRUE(shown(display.m_screen)) << "the strip and the notice";
    EXPECT_TRUE(notice_shown(display.m_screen));
    passes(w + 1 - 41 + 20, 1);
    ASSERT_EQ(PeakDisplay::ColumnCounter(), 20);
    EXPECT_TRUE(shown(display.m_screen)) << "after a wrap";
    passes(3, 0);
    EXPECT_TRUE(shown(display.m_screen)) << "the notice gone";
    // A hidden control leaves the window's background (on Wayland its own
    // surface goes with it), and shows the strip again when shown again;
    // on X11, as the window does.
    ShowWindow(peak, SW_HIDE);
    EXPECT_TRUE(pump_until([&] {
        const std::vector<uint32_t> left = on_screen(x, place.left - 2, place.top, 1, 1);
        const std::vector<uint32_t> there = shown_control();
        return !left.empty() && !there.empty() &&
               std::all_of(there.begin(), there.end(), [&](uint32_t p) { return p == left[0]; });
    })) << "the hidden control";
    ShowWindow(peak, SW_SHOW);
    if (!nested) {
        // weston may put a window shown again elsewhere on its screen.
        ShowWindow(hwnd, SW_HIDE);
        ShowWindow(hwnd, SW_SHOW);
    }
    passes(3, 0);
    EXPECT_TRUE(shown(display.m_screen)) << "shown again";
    display.Destroy();
}

// A copy waits for the display's next frame, and the window's own pixels
// get it only when something reads them; a page drawn on before then still
// shows what it held at the copy, on the screen and in the window's pixels.
TEST_F(GdiDisplayPages, APageDrawnOnAfterItsCopyShowsWhatItHeldThen) {
    HDC screen = GetDC(peak);
    RECT r{};
    GetWindowRect(peak, &r);
    const RECT all{0, 0, r.right - r.left, r.bottom - r.top};
    HDC page = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, all.right, all.bottom);
    HGDIOBJ old = SelectObject(page, bitmap);
    HBRUSH first = CreateSolidBrush(RGB(0, 30, 60));
    HBRUSH second = CreateSolidBrush(RGB(0, 255, 0));

    FillRect(page, &all, first);
    BitBlt(screen, 0, 0, all.right, all.bottom, page, 0, 0, SRCCOPY);
    EXPECT_TRUE(shown(screen)) << "on the screen, so the next copies are the server's";
    const RECT left_half{0, 0, all.right / 2, all.bottom};
    FillRect(page, &left_half, second);
    BitBlt(screen, 0, 0, all.right, all.bottom, page, 0, 0, SRCCOPY);
    // Two corners change; what is sent of the page then spans all of it.
    const RECT top_left{0, 0, 2, 2};
    const RECT bottom_right{all.right - 2, all.bottom - 2, all.right, all.bottom};
    FillRect(page, &top_left, first);
    FillRect(page, &bottom_right, second);
    BitBlt(screen, 0, 0, 3, 3, page, 0, 0, SRCCOPY);
    // The display's frame comes before anything reads the window's pixels.
    const size_t left_middle = static_cast<size_t>(all.bottom / 2) * all.right + all.right / 4;
    EXPECT_TRUE(pump_until([&] { return shown_control().at(left_middle) == 0x00FF00; }));
    EXPECT_TRUE(shown(screen));
    EXPECT_EQ(GetPixel(screen, all.right / 4, all.bottom / 2), RGB(0, 255, 0));
    EXPECT_EQ(GetPixel(screen, all.right - 1, all.bottom - 1), RGB(0, 30, 60))
        << "the corner as the page held it at its copy";
    EXPECT_EQ(GetPixel(screen, 1, 1), RGB(0, 30, 60)) << "the last copy";
    EXPECT_EQ(GetPixel(screen, 2, 2), RGB(0, 255, 0));
    // Frames that each change a corner: what the display shows is the last
    // frame with the corner over it (on Wayland, in the buffer the frame
    // before last was shown from).
    FillRect(page, &top_left, second);
    BitBlt(screen, 0, 0, 2, 2, page, 0, 0, SRCCOPY);
    EXPECT_TRUE(shown(screen)) << "one corner";
    BitBlt(screen, all.right - 2, all.bottom - 2, 2, 2, page, all.right - 2, all.bottom - 2,
           SRCCOPY);
    EXPECT_EQ(GetPixel(screen, all.right - 1, all.bottom - 1), RGB(0, 255, 0));
    EXPECT_TRUE(shown(screen)) << "the other corner";
    // Filled rectangles go to the display as fills, the rest as pixels; the
    // screen still ends as drawn: text, a fill over part of it, a slanted
    // line over the fill.
    SetBkMode(page, TRANSPARENT);
    SetTextColor(page, RGB(255, 255, 255));
    TextOutW(page, 4, 4, L"正在录音", 4);
    const RECT band{12, 0, 30, all.bottom};
    FillRect(page, &band, first);
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(255, 0, 0));
    HGDIOBJ old_pen = SelectObject(page, pen);
    MoveToEx(page, 0, 0, nullptr);
    LineTo(page, 40, 30);
    BitBlt(screen, 0, 0, all.right, all.bottom, page, 0, 0, SRCCOPY);
    EXPECT_TRUE(shown(screen)) << "text, a fill over it, a line over the fill";
    SelectObject(page, old_pen);
    DeleteObject(pen);
    // A page deleted while its copy still waits: the window keeps what the
    // page held.
    FillRect(page, &all, second);
    BitBlt(screen, 0, 0, all.right, all.bottom, page, 0, 0, SRCCOPY);
    SelectObject(page, old);
    DeleteDC(page);
    ASSERT_TRUE(DeleteObject(bitmap));
    EXPECT_EQ(GetPixel(screen, all.right - 1, all.bottom - 1), RGB(0, 255, 0));
    EXPECT_TRUE(shown(screen)) << "after its page went";

    DeleteObject(second);
    DeleteObject(first);
    ReleaseDC(peak, screen);
}

} // namespace
