// The peak display: the strip chart in the main window's black static. Every
// finished meter block moves the strip one column to the left and adds one
// green line at the right whose length is the block's peak times the height.
// It draws on two off-screen pages of the control's size and copies them onto
// the control at every update; everything runs on the window thread.
#pragma once

#include <windows.h>

#include <stdint.h>

class PeakDisplay {
  public:
    // The drawing handles and size; the window owns them through this object.
    HDC m_screen = nullptr; // control's own DC, kept for the window's life
    HDC m_page_a = nullptr; // outgoing page: its columns leave at the left
    HDC m_page_b = nullptr; // incoming page: its columns enter at the right
    int32_t m_width = 0;
    int32_t m_height = 0;

    // Takes `control`'s size and DC, makes both pages and clears them.
    void Setup(HWND control);
    // Background and grid on one page.
    void ClearPage(HDC page);
    // Draws the next column with `peak`, and the red notice while `recording`
    // is 1.
    void OnLevelUpdate(float peak, int32_t recording);
    // Draws `count` columns, one per peak and oldest first, in one pass: the
    // same picture as `count` single updates, copied to the control once.
    void OnLevelUpdate(const float* peaks, int32_t count, int32_t recording);
    // The last update's picture again, without the red notice: for when no
    // update is coming to take the notice away (the capture was given up).
    void Repaint();
    // Gives back the DC, the pages and their bitmaps (the window is going).
    void Destroy();

    // The column of page B that the next update draws: one value for the
    // whole process, 0 at start, 0..width between updates.
    static int32_t& ColumnCounter();

  private:
    HWND m_control = nullptr;
    HBITMAP m_bitmap_a = nullptr;
    HBITMAP m_bitmap_b = nullptr;
    HGDIOBJ m_old_bitmap_a = nullptr;
    HGDIOBJ m_old_bitmap_b = nullptr;
};
