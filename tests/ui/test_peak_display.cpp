// The peak display pixel by pixel: the grid of a cleared page, the rows of
// the trace line for given peaks, the scrolling strip that the two pages make
// on the control, the wrap that exchanges them, the recording notice, and the
// set-up and release on the main window's real control.
//
// Most cases use the sizes of the display as designed (330 by 117 pixels),
// with a memory page standing in for the control's DC so that every pixel
// the display copies can be read back.
#include <windows.h>
#include <commctrl.h>

#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dialog.h"
#include "gdi_page.h"
#include "peak_display.h"
#include "template_host.h"
#include "resource.h"

namespace {

constexpr COLORREF kGrid = RGB(0, 50, 0);
constexpr COLORREF kTrace = kInk;

// A display whose "control" is a memory page too, assembled as the set-up
// does it, with both pages cleared by the display.
struct PagedDisplay {
    HDC desktop = GetDC(nullptr);
    MemoryPage control;
    MemoryPage first;
    MemoryPage second;
    PeakDisplay display;

    PagedDisplay(int width, int height)
        : control(desktop, width, height), first(desktop, width, height),
          second(desktop, width, height) {
        PeakDisplay::ColumnCounter() = 0;
        display.m_screen = control.dc;
        display.m_page_a = first.dc;
        display.m_page_b = second.dc;
        display.m_width = width;
        display.m_height = height;
        display.ClearPage(first.dc);
        display.ClearPage(second.dc);
    }
    ~PagedDisplay() {
        // The DCs are the test's own: the display must not free them.
        display.m_screen = display.m_page_a = display.m_page_b = nullptr;
        ReleaseDC(nullptr, desktop);
    }

    void update(float peak, int32_t recording = 0) { display.OnLevelUpdate(peak, recording); }
};

std::vector<COLORREF> column(HDC dc, int x, int height) {
    std::vector<COLORREF> pixels;
    for (int y = 0; y < height; ++y) {
        pixels.push_back(GetPixel(dc, x, y));
    }
    return pixels;
}

std::vector<std::vector<COLORREF>> columns(HDC dc, int width, int height) {
    std::vector<std::vector<COLORREF>> all;
    for (int x = 0; x < width; ++x) {
        all.push_back(column(dc, x, height));
    }
    return all;
}

// A cleared page: a 2-pixel grid line at x covers columns x - 1 and x over
// the whole height, one at y rows y - 1 and y over the whole width.
std::vector<std::vector<COLORREF>> cleared(int width, int height, const std::vector<int>& xs,
                                           const std::vector<int>& ys) {
    std::vector<std::vector<COLORREF>> page(width, std::vector<COLORREF>(height, kBackground));
    for (int x : xs) {
        for (int cx : {x - 1, x}) {
            if (cx >= 0) {
                page[cx].assign(height, kGrid);
            }
        }
    }
    for (int y : ys) {
        for (int cy : {y - 1, y}) {
            if (cy >= 0) {
                for (auto& col : page) {
                    col[cy] = kGrid;
                }
            }
        }
    }
    return page;
}

const std::vector<int> kColumns330 = {0,   20,  41,  61,  82,  103, 123, 144,
                                      165, 185, 206, 226, 247, 268, 288, 309};
const std::vector<int> kRows117 = {0, 19, 39, 58, 78, 97};

// ---- the page ----

TEST(PeakDisplayPage, GridOfTheDesignedSizeSpreadsEvenly) {
    PagedDisplay d(330, 117);
    const auto expected = cleared(330, 117, kColumns330, kRows117);
    EXPECT_EQ(columns(d.first.dc, 330, 117), expected);
    EXPECT_EQ(columns(d.second.dc, 330, 117), expected);
    // Not at multiples of 20: column 80 is background between the rows, the
    // line at 82 covers 81 and 82.
    EXPECT_EQ(GetPixel(d.first.dc, 80, 10), kBackground);
    EXPECT_EQ(GetPixel(d.first.dc, 81, 10), kGrid);
    // No line at the far edges: the last column and row are background.
    EXPECT_EQ(GetPixel(d.first.dc, 329, 10), kBackground);
    EXPECT_EQ(GetPixel(d.first.dc, 10, 116), kBackground);
}

TEST(PeakDisplayPage, ClearingPaintsOverEverythingAndLeavesThePagesPenInPlace) {
    PagedDisplay d(330, 117);
    HBRUSH ink = CreateSolidBrush(kTrace);
    const RECT all{0, 0, 330, 117};
    FillRect(d.first.dc, &all, ink);
    DeleteObject(ink);
    HPEN own = CreatePen(PS_SOLID, 1, RGB(1, 2, 3));
    HGDIOBJ stock = SelectObject(d.first.dc, own);
    d.display.ClearPage(d.first.dc);
    EXPECT_EQ(columns(d.first.dc, 330, 117), cleared(330, 117, kColumns330, kRows117));
    EXPECT_EQ(SelectObject(d.first.dc, stock), own) << "the page's own pen is selected again";
    DeleteObject(own);
}

// ---- the trace line ----

struct TraceCase {
    float peak;
    int height;
    int top;    // y of MoveToEx
    int bottom; // y of LineTo
};

TEST(PeakDisplayTrace, LineRowsForTheDesignedPeaks) {
    const TraceCase cases[] = {
        {0.0f, 117, 58, 59}, {0.25f, 117, 43, 74},  {0.5f, 117, 29, 88}, {0.7f, 117, 17, 100},
        {1.0f, 117, 0, 117}, {1.2f, 117, -11, 128}, {0.0f, 100, 50, 50}, // starts and ends on the
                                                                         // same row
    };
    const int c = 100;
    for (const TraceCase& t : cases) {
        SCOPED_TRACE(testing::Message() << "peak " << t.peak << ", height " << t.height);
        PagedDisplay d(330, t.height);
        PeakDisplay::ColumnCounter() = c;
        const auto before = columns(d.second.dc, 330, t.height);
        d.update(t.peak);
        // The 2-pixel pen covers columns c - 1 and c, from one row above the
        // start down to the end row, clipped to the page.
        for (int x = c - 3; x <= c + 3; ++x) {
            for (int y = 0; y < t.height; ++y) {
                const bool inked = (x == c - 1 || x == c) && y >= t.top - 1 && y <= t.bottom;
                const COLORREF want = inked ? kTrace : before[x][y];
                if (GetPixel(d.second.dc, x, y) != want) {
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") should be "
                                  << (inked ? "trace" : "as before");
                    break;
                }
            }
        }
        // Only page B is drawn on.
        EXPECT_EQ(columns(d.first.dc, 330, t.height),
                  cleared(330, t.height, kColumns330,
                          t.height == 117 ? kRows117 : std::vector<int>{0, 16, 33, 50, 66, 83}));
    }
}

// Whatever a program plays reaches the display: a float stream in the wrong
// scale, infinities, NaN. Anything above the top draws the full column, as
// 1.0 does; NaN and anything below 0 draw as silence.
TEST(PeakDisplayTrace, AnyPeakDrawsInsideThePage) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        float peak;
        float same_as;
    } cases[] = {{1e6f, 1.0f},  {3e38f, 1.0f}, {inf, 1.0f}, {1e4f, 1.0f},
                 {nan, 0.0f},   {-1.0f, 0.0f}, {-inf, 0.0f}, {-3e38f, 0.0f}};
    const int c = 100;
    for (const auto& t : cases) {
        SCOPED_TRACE(testing::Message() << "peak " << t.peak);
        std::vector<std::vector<std::vector<COLORREF>>> pictures;
        for (float peak : {t.peak, t.same_as}) {
            PagedDisplay d(330, 117);
            PeakDisplay::ColumnCounter() = c;
            d.update(peak);
            d.update(0.0f);
            pictures.push_back(columns(d.second.dc, 330, 117));
        }
        EXPECT_TRUE(pictures[0] == pictures[1]) << "page B differs from that of " << t.same_as;
    }
}

// ---- the strip on the control ----

// Marks page columns so that the control's picture shows where each came from.
void mark(HDC page, int x, COLORREF colour, int height) {
    HBRUSH brush = CreateSolidBrush(colour);
    const RECT r{x, 0, x + 1, height};
    FillRect(page, &r, brush);
    DeleteObject(brush);
}

TEST(PeakDisplayStrip, EachUpdateShowsPageAFromTheCounterThenPageBUpToIt) {
    const int w = 330;
    const int h = 117;
    PagedDisplay d(w, h);
    for (int x = 0; x < w; ++x) {
        mark(d.first.dc, x, RGB(1, x / 256, x % 256), h);
        mark(d.second.dc, x, RGB(2, x / 256, x % 256), h);
    }
    for (int c : {0, 1, 7, 164, w - 1}) {
        SCOPED_TRACE(testing::Message() << "counter " << c);
        PeakDisplay::ColumnCounter() = c;
        const auto a = columns(d.first.dc, w, h);
        d.update(0.5f);
        const auto b = columns(d.second.dc, w, h); // after this update's line
        for (int x = 0; x < w; ++x) {
            const auto& want = x < w - c ? a[x + c] : b[x - (w - c)];
            if (column(d.control.dc, x, h) != want) {
                ADD_FAILURE() << "control column " << x;
                break;
            }
        }
        EXPECT_EQ(PeakDisplay::ColumnCounter(), c + 1);
        EXPECT_EQ(d.display.m_page_a, d.first.dc);
        EXPECT_EQ(d.display.m_page_b, d.second.dc);
    }
}

TEST(PeakDisplayStrip, FirstUpdateCopiesPageAWholeAndDrawsNoLine) {
    PagedDisplay d(330, 117);
    const auto b = columns(d.second.dc, 330, 117);
    d.update(1.0f);
    EXPECT_EQ(columns(d.control.dc, 330, 117), columns(d.first.dc, 330, 117));
    EXPECT_EQ(columns(d.second.dc, 330, 117), b) << "no line at counter 0";
    EXPECT_EQ(PeakDisplay::ColumnCounter(), 1);
}

TEST(PeakDisplayStrip, LineEntersAtTheRightEdgeAndMovesOneColumnLeftPerUpdate) {
    const int w = 330;
    const int h = 117;
    PagedDisplay d(w, h);
    PeakDisplay::ColumnCounter() = 50;
    d.update(1.0f); // full height at column 50 (and its left neighbour)
    const std::vector<COLORREF> full(h, kTrace);
    for (int k = 0; k < 40; ++k) {
        d.update(0.0f); // short lines from here on
        std::vector<int> full_columns;
        for (int x = 0; x < w; ++x) {
            if (column(d.control.dc, x, h) == full) {
                full_columns.push_back(x);
            }
        }
        const std::vector<int> want = {w - 2 - k, w - 1 - k};
        ASSERT_EQ(full_columns, want) << "after " << k + 1 << " further updates";
    }
}

TEST(PeakDisplayStrip, UpdateAtTheWidthShowsPageBWholeAndWrapsToAFreshPage) {
    const int w = 330;
    const int h = 117;
    PagedDisplay d(w, h);
    // Fill the incoming page as the updates do, with varied peaks; the last
    // one short, so that the last column shows what comes next.
    PeakDisplay::ColumnCounter() = 1;
    for (int c = 1; c < w; ++c) {
        d.update(c == w - 1 ? 0.0f : static_cast<float>(c % 11) / 10.0f);
    }
    ASSERT_EQ(PeakDisplay::ColumnCounter(), w);
    ASSERT_NE(GetPixel(d.second.dc, w - 1, 40), kTrace);
    mark(d.first.dc, 5, kTrace, h); // the outgoing page, to be cleared

    d.update(0.5f);
    const auto filled = columns(d.second.dc, w, h);
    // The line at column W lies outside the page but for its left half, in
    // the last column, which this very copy already shows.
    for (int y = 0; y < h; ++y) {
        const bool inked = y >= 29 - 1 && y <= 88;
        if (inked) {
            EXPECT_EQ(filled[w - 1][y], kTrace) << "row " << y;
        }
    }
    EXPECT_EQ(columns(d.control.dc, w, h), filled) << "page B whole";
    EXPECT_EQ(PeakDisplay::ColumnCounter(), 0);
    EXPECT_EQ(d.display.m_page_a, d.second.dc) << "the filled page goes out next";
    EXPECT_EQ(d.display.m_page_b, d.first.dc);
    EXPECT_EQ(columns(d.first.dc, w, h), cleared(w, h, kColumns330, kRows117))
        << "the new incoming page is cleared";

    // Counter 0 again: the same picture, from the other page.
    const auto shown = columns(d.control.dc, w, h);
    d.update(1.0f);
    EXPECT_EQ(columns(d.control.dc, w, h), shown);
    EXPECT_EQ(PeakDisplay::ColumnCounter(), 1);
    // And on: the new page's columns now enter at the right.
    d.update(1.0f);
    EXPECT_EQ(column(d.control.dc, w - 1, h), std::vector<COLORREF>(h, kTrace));
    EXPECT_EQ(column(d.control.dc, w - 2, h), filled[w - 1]);
    EXPECT_EQ(column(d.control.dc, 0, h), filled[1]);
}

// Blocks that waited are drawn in one pass: exactly the picture, pages and
// counter of as many single updates, wraps included.
TEST(PeakDisplayStrip, ManyBlocksInOnePassDrawWhatSingleUpdatesDraw) {
    const int w = 330;
    const int h = 117;
    const struct {
        int counter; // at the pass's start
        int blocks;
        int recording;
    } cases[] = {{0, 1, 0}, {17, 1, 1}, {5, 40, 0}, {300, 60, 1}, {w, 2, 0}, {3, 2 * w + 9, 0}};
    for (const auto& t : cases) {
        SCOPED_TRACE(testing::Message() << "counter " << t.counter << ", " << t.blocks << " blocks");
        std::vector<float> peaks;
        for (int i = 0; i < t.blocks; ++i) {
            peaks.push_back(static_cast<float>((i * 37) % 23) / 20.0f);
        }
        struct Result {
            std::vector<std::vector<COLORREF>> control, outgoing, incoming;
            int counter;
        };
        auto run = [&](bool one_pass) {
            PagedDisplay d(w, h);
            PeakDisplay::ColumnCounter() = t.counter;
            if (one_pass) {
                d.display.OnLevelUpdate(peaks.data(), static_cast<int32_t>(peaks.size()),
                                        t.recording);
            } else {
                for (float peak : peaks) {
                    d.update(peak, t.recording);
                }
            }
            return Result{columns(d.control.dc, w, h), columns(d.display.m_page_a, w, h),
                          columns(d.display.m_page_b, w, h), PeakDisplay::ColumnCounter()};
        };
        const Result single = run(false);
        const Result pass = run(true);
        EXPECT_EQ(pass.counter, single.counter);
        EXPECT_TRUE(pass.control == single.control) << "the control's picture differs";
        EXPECT_TRUE(pass.outgoing == single.outgoing) << "page A differs";
        EXPECT_TRUE(pass.incoming == single.incoming) << "page B differs";
    }

    // An empty pass draws nothing and leaves the counter.
    PagedDisplay d(w, h);
    PeakDisplay::ColumnCounter() = 12;
    const auto before = columns(d.control.dc, w, h);
    d.display.OnLevelUpdate(nullptr, 0, 1);
    EXPECT_EQ(PeakDisplay::ColumnCounter(), 12);
    EXPECT_TRUE(columns(d.control.dc, w, h) == before);
}

// ---- the recording notice ----

// Pixels with any red: none of the display's own colours has some.
std::vector<std::pair<int, int>> red_pixels(HDC dc, int width, int height) {
    std::vector<std::pair<int, int>> red;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            if (GetRValue(GetPixel(dc, x, y)) > 0) {
                red.emplace_back(x, y);
            }
        }
    }
    return red;
}

TEST(PeakDisplayNotice, DrawnOnTheControlWhileRecordingAndGoneWithTheNextUpdateAfter) {
    PagedDisplay d(330, 117);
    PeakDisplay::ColumnCounter() = 10;
    d.update(0.3f, 1);
    const auto first = red_pixels(d.control.dc, 330, 117);
    ASSERT_GT(first.size(), 40u) << "the notice is drawn";
    int strong = 0;
    for (auto [x, y] : first) {
        EXPECT_GE(x, 20);
        EXPECT_GE(y, 20);
        strong += GetPixel(d.control.dc, x, y) == RGB(250, 0, 0);
    }
    EXPECT_GT(strong, 0) << "in the notice's own red";
    EXPECT_TRUE(red_pixels(d.first.dc, 330, 117).empty()) << "never on a page";
    EXPECT_TRUE(red_pixels(d.second.dc, 330, 117).empty());

    // Steady while the strip moves under it.
    d.update(0.9f, 1);
    EXPECT_EQ(red_pixels(d.control.dc, 330, 117), first);
    // Only a flag of exactly 1 means recording.
    d.update(0.9f, 2);
    EXPECT_TRUE(red_pixels(d.control.dc, 330, 117).empty());
    d.update(0.9f, 1);
    d.update(0.9f, 0);
    EXPECT_TRUE(red_pixels(d.control.dc, 330, 117).empty()) << "painted over after Stop";
}

// ---- on the main window's control ----

struct PeakDisplayOnControl : ::testing::Test {
    CTemplateHost host;
    HWND hwnd = nullptr;
    HWND peak = nullptr;
    void SetUp() override {
        PeakDisplay::ColumnCounter() = 0;
        hwnd = host.Create(nullptr);
        ASSERT_NE(hwnd, nullptr);
        ShowWindow(hwnd, SW_SHOW);
        peak = GetDlgItem(hwnd, IDC_PEAK);
        ASSERT_NE(peak, nullptr);
    }
    void TearDown() override { DestroyWindow(hwnd); }
};

// The bitmap selected into `page`, read without disturbing it.
HGDIOBJ selected_bitmap(HDC page) {
    HDC desktop = GetDC(nullptr);
    HBITMAP probe = CreateCompatibleBitmap(desktop, 1, 1);
    HGDIOBJ current = SelectObject(page, probe);
    SelectObject(page, current);
    DeleteObject(probe);
    ReleaseDC(nullptr, desktop);
    return current;
}

TEST_F(PeakDisplayOnControl, SetUpTakesTheControlsSizeAndShowsPageAAtTheFirstUpdate) {
    PeakDisplay display;
    display.Setup(peak);
    RECT r{};
    ASSERT_TRUE(GetWindowRect(peak, &r));
    const int w = r.right - r.left;
    const int h = r.bottom - r.top;
    ASSERT_GT(w, 16);
    ASSERT_GT(h, 6);
    EXPECT_EQ(display.m_width, w);
    EXPECT_EQ(display.m_height, h);
    ASSERT_NE(display.m_screen, nullptr);
    ASSERT_NE(display.m_page_a, nullptr);
    ASSERT_NE(display.m_page_b, nullptr);
    EXPECT_NE(display.m_page_a, display.m_page_b);

    std::vector<int> xs;
    std::vector<int> ys;
    for (int i = 0; i < 16; ++i) {
        xs.push_back(i * w / 16);
    }
    for (int j = 0; j < 6; ++j) {
        ys.push_back(j * h / 6);
    }
    const auto page = cleared(w, h, xs, ys);
    EXPECT_EQ(columns(display.m_page_a, w, h), page);
    EXPECT_EQ(columns(display.m_page_b, w, h), page);

    display.OnLevelUpdate(0.5f, 0);
    EXPECT_EQ(columns(display.m_screen, w, h), page) << "the control shows page A";
    display.OnLevelUpdate(1.0f, 0);
    EXPECT_EQ(column(display.m_screen, w - 1, h), std::vector<COLORREF>(h, kTrace));
    display.Destroy();
}

TEST_F(PeakDisplayOnControl, ReleaseFreesBothPagesAndTheirBitmapsAfterAWrap) {
    PeakDisplay display;
    display.Destroy(); // before set-up: nothing to free
    display.Setup(peak);
    const int w = display.m_width;
    for (int i = 0; i < w + 1 + 3; ++i) { // one wrap, and a little more
        display.OnLevelUpdate(0.5f, 0);
    }
    ASSERT_EQ(PeakDisplay::ColumnCounter(), 3);
    const HDC pages[] = {display.m_page_a, display.m_page_b};
    const HGDIOBJ bitmaps[] = {selected_bitmap(pages[0]), selected_bitmap(pages[1])};
    ASSERT_NE(bitmaps[0], nullptr);
    ASSERT_NE(bitmaps[1], nullptr);
    const HDC screen = display.m_screen;

    display.Destroy();
    EXPECT_EQ(display.m_screen, nullptr);
    EXPECT_EQ(display.m_page_a, nullptr);
    EXPECT_EQ(display.m_page_b, nullptr);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(GetPixel(pages[i], 0, 0), CLR_INVALID) << "page " << i << " is deleted";
        EXPECT_FALSE(DeleteObject(bitmaps[i])) << "bitmap " << i << " was deleted already";
    }
    EXPECT_FALSE(ReleaseDC(peak, screen)) << "the control's DC was given back already";

    // Again, and an update afterwards: nothing happens.
    display.Destroy();
    display.OnLevelUpdate(1.0f, 1);
    EXPECT_EQ(PeakDisplay::ColumnCounter(), 3);
}

} // namespace
