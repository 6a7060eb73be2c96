#include "peak_display.h"

#include <algorithm>
#include <utility>

#include "gdi_holders.h"

namespace {

constexpr COLORREF kBackground = 0x003C1E00; // dark blue
constexpr COLORREF kGrid = 0x00003200;       // dim green
constexpr COLORREF kTrace = 0x0000FF00;      // bright green
constexpr int kGridColumns = 16;
constexpr int kGridRows = 6;
constexpr int kPenWidth = 2;
constexpr WCHAR kRecordingNotice[] = L"正在录音";

// Any peak at or above this draws a full-height column, as 1.0 does; capping
// it keeps the row far inside int32 for any height.
constexpr float kHighestPeak = 2.0f;

// Top end of the trace line for `peak`: (H - peak * H) * 0.5 in 32-bit
// floats, truncated toward zero. Each step goes through a float variable
// that the compiler must store: the 32-bit x87 build would otherwise keep
// extended precision between the steps and could land on another row.
// Peaks come from whatever a program plays: NaN and anything below 0 draw
// as silence, and anything above the top as a full column.
int32_t TraceTop(float peak, int32_t height) {
    if (!(peak > 0.0f)) {
        peak = 0.0f; // NaN too
    } else if (peak > kHighestPeak) {
        peak = kHighestPeak;
    }
    volatile float h = static_cast<float>(height);
    volatile float product = h * peak;
    volatile float difference = h - product;
    volatile float half = difference * 0.5f;
    return static_cast<int32_t>(half);
}

} // namespace

int32_t& PeakDisplay::ColumnCounter() {
    static int32_t counter = 0;
    return counter;
}

void PeakDisplay::Setup(HWND control) {
    RECT rect{};
    ::GetWindowRect(control, &rect);
    m_width = rect.right - rect.left;
    m_height = rect.bottom - rect.top;
    m_control = control;
    m_screen = ::GetDC(control);
    m_page_a = ::CreateCompatibleDC(m_screen);
    m_page_b = ::CreateCompatibleDC(m_screen);
    m_bitmap_a = ::CreateCompatibleBitmap(m_screen, m_width, m_height);
    m_bitmap_b = ::CreateCompatibleBitmap(m_screen, m_width, m_height);
    m_old_bitmap_a = ::SelectObject(m_page_a, m_bitmap_a);
    m_old_bitmap_b = ::SelectObject(m_page_b, m_bitmap_b);
    ClearPage(m_page_a);
    ClearPage(m_page_b);
}

void PeakDisplay::ClearPage(HDC page) {
    const int w = m_width;
    const int h = m_height;
    const GdiObject<HBRUSH> brush(::CreateSolidBrush(kBackground));
    const RECT all{0, 0, w, h};
    ::FillRect(page, &all, brush.get());

    const GdiObject<HPEN> pen(::CreatePen(PS_SOLID, kPenWidth, kGrid));
    const SelectedObject selected(page, pen.get());
    // Product first, then the division: the lines spread evenly over any
    // width instead of sitting at multiples of a rounded step.
    for (int i = 0; i < kGridColumns; ++i) {
        const int x = (i * w) / kGridColumns;
        ::MoveToEx(page, x, 0, nullptr);
        ::LineTo(page, x, h);
    }
    for (int j = 0; j < kGridRows; ++j) {
        const int y = (j * h) / kGridRows;
        ::MoveToEx(page, 0, y, nullptr);
        ::LineTo(page, w, y);
    }
}

void PeakDisplay::OnLevelUpdate(float peak, int32_t recording) {
    OnLevelUpdate(&peak, 1, recording);
}

void PeakDisplay::OnLevelUpdate(const float* peaks, int32_t count, int32_t recording) {
    if (!m_screen || count <= 0) {
        return; // not set up (or already released), or nothing new to draw
    }
    int32_t& counter = ColumnCounter();
    const int32_t w = m_width;
    const int32_t h = m_height;
    // One column per block, exactly as that many single updates would draw
    // them. Each update's copies repaint the whole control, so only the last
    // block's are made: the same picture for a fraction of the cost.
    // The trace pen stays in page B for the pass, and moves with it at a wrap.
    const GdiObject<HPEN> pen(::CreatePen(PS_SOLID, kPenWidth, kTrace));
    SelectedObject selected(m_page_b, pen.get());
    for (int32_t i = 0; i < count; ++i) {
        const int32_t c = counter;
        const bool last = i == count - 1;
        // The outgoing page from column c on, then the incoming page up to
        // c - 1: together one strip that has moved a column to the left. The
        // line drawn into column c shows from the next update on.
        if (last && w - c > 0) {
            ::BitBlt(m_screen, 0, 0, w - c, h, m_page_a, c, 0, SRCCOPY);
        }
        if (c > 0) {
            const int32_t y = TraceTop(peaks[i], h);
            ::MoveToEx(m_page_b, c, y, nullptr);
            ::LineTo(m_page_b, c, h - y);
            if (last) {
                ::BitBlt(m_screen, w - c, 0, c, h, m_page_b, 0, 0, SRCCOPY);
            }
        }
        counter = c + 1;
        if (c + 1 > w) {
            // The filled page becomes the outgoing one and the old outgoing
            // page is cleared to be filled next. Each page keeps its own
            // bitmap, so the bookkeeping of what to free travels with it.
            selected.restore();
            std::swap(m_page_a, m_page_b);
            std::swap(m_bitmap_a, m_bitmap_b);
            std::swap(m_old_bitmap_a, m_old_bitmap_b);
            counter = 0;
            ClearPage(m_page_b);
            selected.select(m_page_b, pen.get());
        }
    }
    selected.restore();

    // Drawn after the copies at every update, so it stays steady while
    // recording and goes with the first update after it.
    if (recording == 1) {
        ::SetBkMode(m_screen, TRANSPARENT);
        ::SetTextColor(m_screen, RGB(250, 0, 0));
        ::TextOutW(m_screen, 20, 20, kRecordingNotice, ::lstrlenW(kRecordingNotice));
    }
}

void PeakDisplay::Repaint() {
    if (!m_screen) {
        return;
    }
    // The last update copied the strip for the column before the counter;
    // after a wrap (counter 0) that is all of the page that is now page A.
    const int32_t c = std::max(ColumnCounter() - 1, 0);
    ::BitBlt(m_screen, 0, 0, m_width - c, m_height, m_page_a, c, 0, SRCCOPY);
    if (c > 0) {
        ::BitBlt(m_screen, m_width - c, 0, c, m_height, m_page_b, 0, 0, SRCCOPY);
    }
}

void PeakDisplay::Destroy() {
    // The page goes before its bitmap: a bitmap still selected somewhere
    // can't be deleted, and a fresh memory DC may have handed back no
    // previous bitmap to select in its place.
    auto free_page = [](HDC& page, HBITMAP& bitmap, HGDIOBJ& old_bitmap) {
        if (page) {
            if (old_bitmap) {
                ::SelectObject(page, old_bitmap);
            }
            ::DeleteDC(page);
        }
        if (bitmap) {
            ::DeleteObject(bitmap);
        }
        page = nullptr;
        bitmap = nullptr;
        old_bitmap = nullptr;
    };
    free_page(m_page_a, m_bitmap_a, m_old_bitmap_a);
    free_page(m_page_b, m_bitmap_b, m_old_bitmap_b);
    if (m_screen) {
        ::ReleaseDC(m_control, m_screen);
        m_screen = nullptr;
    }
    m_control = nullptr;
    m_width = 0;
    m_height = 0;
}
