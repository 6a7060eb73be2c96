// Lines whose ends lie anywhere an int reaches: the Linux GDI clips them to
// the bitmap before it touches a pixel, so they cost what is visible and
// draw exactly what the visible part of the same line would.
#include <windows.h>

#include <limits.h>
#include <math.h>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gdi_page.h"

namespace {

// Each far line against the same line cut short just outside the page: the
// pictures must agree pixel for pixel.
TEST(GdiLimits, UprightAndLevelLinesOfAnyLengthAreClippedExactly) {
    struct Case {
        int x0, y0, x1, y1;  // far ends
        int nx0, ny0, nx1, ny1; // the same line, ends just outside the page
    };
    const Case cases[] = {
        {5, INT_MIN, 5, INT_MAX, 5, -3, 5, 20},
        {5, INT_MAX, 5, INT_MIN, 5, 20, 5, -3},
        {INT_MIN, 7, INT_MAX, 7, -3, 7, 20, 7},
        {-1000000000, 0, 1000000000, 0, -3, 0, 20, 0},
        {0, -58500000, 0, 58500117, 0, -3, 0, 20}, // the trace of a peak of 1e6
        {15, 2, 15, INT_MAX, 15, 2, 15, 20},       // one end inside
    };
    for (int width : {1, 2}) {
        for (const Case& c : cases) {
            Page far(16, 12);
            Page near(16, 12);
            far.line(c.x0, c.y0, c.x1, c.y1, width);
            near.line(c.nx0, c.ny0, c.nx1, c.ny1, width);
            EXPECT_EQ(far.picture(), near.picture())
                << "pen " << width << ", from " << c.x0 << "," << c.y0 << " to " << c.x1 << ","
                << c.y1;
        }
    }

    // Wholly outside, however long: nothing, and the position still moves.
    Page page(16, 12);
    page.line(-5, INT_MIN, -5, INT_MAX, 2);
    page.line(INT_MIN, 40, INT_MAX, 40, 2);
    EXPECT_EQ(page.picture(), Page(16, 12).picture());
    POINT at{};
    MoveToEx(page.dc, 3, 4, &at);
    EXPECT_EQ(at.x, INT_MAX);
    EXPECT_EQ(at.y, 40);
}

// A slanted line across the page from far outside: it is cut at the edges,
// so every pixel it draws lies on the ideal line (within the pen and a pixel
// of rounding) and it leaves no gap in the rows it crosses.
TEST(GdiLimits, SlantedLinesFromFarAwayCrossThePageWithoutGaps) {
    const struct {
        int x0, y0, x1, y1;
    } cases[] = {
        {-2000000000, -1000000000, 2000000000, 1000000010},
        {INT_MIN, INT_MIN, INT_MAX, INT_MAX},
        {INT_MAX, INT_MIN + 40, INT_MIN, INT_MAX},
        {-1000000, 5, 1000000, 6},
    };
    for (const auto& c : cases) {
        Page page(40, 30);
        page.line(c.x0, c.y0, c.x1, c.y1, 1);
        const std::vector<std::string> rows = page.picture();
        const double dx = static_cast<double>(c.x1) - c.x0;
        const double dy = static_cast<double>(c.y1) - c.y0;
        int drawn = 0;
        for (int y = 0; y < page.height; ++y) {
            for (int x = 0; x < page.width; ++x) {
                if (rows[y][x] != '#') {
                    continue;
                }
                ++drawn;
                // Distance from the ideal line through the two ends.
                const double cross = dx * (y - static_cast<double>(c.y0)) -
                                     dy * (x - static_cast<double>(c.x0));
                const double distance = std::abs(cross) / std::hypot(dx, dy);
                EXPECT_LE(distance, 1.5) << "pixel " << x << "," << y;
            }
        }
        // The line's visible part, counted along its major axis.
        int expected = 0;
        const bool steep = std::abs(dy) > std::abs(dx);
        for (int i = 0; i < (steep ? page.height : page.width); ++i) {
            const double other = steep ? c.x0 + dx * (i - static_cast<double>(c.y0)) / dy
                                       : c.y0 + dy * (i - static_cast<double>(c.x0)) / dx;
            if (other >= 0 && other <= (steep ? page.width : page.height) - 1) {
                ++expected;
            }
        }
        EXPECT_GE(drawn, expected - 2) << "from " << c.x0 << "," << c.y0;
        EXPECT_GT(drawn, 0);
    }
}

} // namespace
