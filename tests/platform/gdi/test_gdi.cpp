// GDI on bitmaps, pixel by pixel: fills, 2-pixel pens with the end point left
// out, clipped block transfers. The same expectations run against Windows'
// GDI (the Windows build, under Wine) and against the Linux build's own.
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gdi_page.h"

namespace {

TEST(GdiPixels, SetUpGivesA32BitPageThatKeepsExactColours) {
    Page page(4, 3);
    ASSERT_NE(page.dc, nullptr);
    ASSERT_NE(page.bitmap, nullptr);
    EXPECT_EQ(GetPixel(page.dc, 0, 0), kBackground);
    EXPECT_EQ(GetPixel(page.dc, 3, 2), kBackground);
    EXPECT_EQ(GetPixel(page.dc, 4, 0), CLR_INVALID) << "outside the bitmap";
}

TEST(GdiPixels, FillRectCoversLeftAndTopEdgesButNotRightAndBottom) {
    Page page(6, 5);
    HBRUSH brush = CreateSolidBrush(kInk);
    RECT r{1, 1, 4, 3};
    EXPECT_NE(FillRect(page.dc, &r, brush), 0);
    DeleteObject(brush);
    const std::vector<std::string> expected = {
        "......", ".###..", ".###..", "......", "......",
    };
    EXPECT_EQ(page.picture(), expected);
}

TEST(GdiPixels, FillRectIsClippedToTheBitmap) {
    Page page(4, 3);
    HBRUSH brush = CreateSolidBrush(kInk);
    RECT r{-5, 1, 40, 40};
    FillRect(page.dc, &r, brush);
    DeleteObject(brush);
    const std::vector<std::string> expected = {"....", "####", "####"};
    EXPECT_EQ(page.picture(), expected);
}

// A 2-pixel pen is a geometric pen with round caps: it covers the column
// before the line and the line's own, from one row before the start down to
// the end point, which it does not leave out.
TEST(GdiPixels, VerticalTwoPixelLineCoversTheColumnBeforeAndBothEnds) {
    Page page(8, 8);
    page.line(4, 2, 4, 5);
    const std::vector<std::string> expected = {
        "........", "...##...", "...##...", "...##...",
        "...##...", "...##...", "........", "........",
    };
    EXPECT_EQ(page.picture(), expected);
}

TEST(GdiPixels, HorizontalTwoPixelLineCoversTheRowAboveAndBothEnds) {
    Page page(9, 5);
    page.line(2, 2, 6, 2);
    const std::vector<std::string> expected = {
        ".........", ".######..", ".######..", ".........", ".........",
    };
    EXPECT_EQ(page.picture(), expected);
}

TEST(GdiPixels, OnePixelLineLeavesOutItsEndPoint) {
    Page page(4, 5);
    page.line(1, 1, 1, 4, 1);
    page.line(3, 4, 0, 4, 1); // right to left: the end point (0, 4) stays out
    const std::vector<std::string> expected = {"....", ".#..", ".#..", ".#..", ".###"};
    EXPECT_EQ(page.picture(), expected);
}

TEST(GdiPixels, GridLineAtTheEdgeShowsOnlyItsInsideHalf) {
    Page page(6, 4);
    page.line(0, 0, 0, 4); // the first vertical grid line
    page.line(0, 0, 6, 0); // the first horizontal one
    const std::vector<std::string> expected = {"######", "#.....", "#.....", "#....."};
    EXPECT_EQ(page.picture(), expected);
}

TEST(GdiPixels, OnePixelLineAndATraceLongerThanThePageAreClipped) {
    Page page(5, 4);
    page.line(2, -11, 2, 30, 1);
    const std::vector<std::string> expected = {"..#..", "..#..", "..#..", "..#.."};
    EXPECT_EQ(page.picture(), expected);
}

TEST(GdiPixels, BitBltCopiesExactlyAndClipsAtEveryEdge) {
    Page source(4, 4);
    // Source: a diagonal of ink.
    HBRUSH brush = CreateSolidBrush(kInk);
    for (int i = 0; i < 4; ++i) {
        RECT dot{i, i, i + 1, i + 1};
        FillRect(source.dc, &dot, brush);
    }
    DeleteObject(brush);

    Page target(5, 4);
    // Up and to the left of the target: only the source's lower right lands.
    EXPECT_TRUE(BitBlt(target.dc, -2, -1, 4, 4, source.dc, 0, 0, SRCCOPY));
    // From beyond the source's right edge: the part inside is copied, the
    // rest of the target is left alone.
    EXPECT_TRUE(BitBlt(target.dc, 3, 0, 4, 4, source.dc, 2, 0, SRCCOPY));
    const std::vector<std::string> expected = {
        ".....",
        "#....",
        ".#...",
        ".....",
    };
    auto got = target.picture();
    // Columns 3 and 4 came from source columns 2 and 3: rows 2 and 3 there.
    std::vector<std::string> with_right = expected;
    with_right[2][3] = '#';
    with_right[3][4] = '#';
    EXPECT_EQ(got, with_right);
}

TEST(GdiPixels, SelectObjectHandsBackThePreviousPenAndDeletedPensCannotBeSelected) {
    Page page(2, 2);
    HPEN first = CreatePen(PS_SOLID, 1, kInk);
    HPEN second = CreatePen(PS_SOLID, 1, kBackground);
    HGDIOBJ original = SelectObject(page.dc, first);
    EXPECT_NE(original, nullptr);
    EXPECT_EQ(SelectObject(page.dc, second), first);
    EXPECT_EQ(SelectObject(page.dc, original), second);
    EXPECT_TRUE(DeleteObject(first));
    EXPECT_TRUE(DeleteObject(second));
    EXPECT_FALSE(DeleteObject(second)) << "already gone";
}

TEST(GdiPixels, TextColourAndBackgroundModeReturnTheirPreviousValues) {
    Page page(2, 2);
    SetTextColor(page.dc, RGB(1, 2, 3));
    EXPECT_EQ(SetTextColor(page.dc, RGB(250, 0, 0)), RGB(1, 2, 3));
    EXPECT_EQ(SetTextColor(page.dc, 0), RGB(250, 0, 0));
    SetBkMode(page.dc, OPAQUE);
    EXPECT_EQ(SetBkMode(page.dc, TRANSPARENT), OPAQUE);
    EXPECT_EQ(SetBkMode(page.dc, OPAQUE), TRANSPARENT);
}

} // namespace
