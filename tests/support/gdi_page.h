// A memory DC with a screen-compatible bitmap, for the GDI tests of both
// builds: drawn on with a pen and read back one character per pixel.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

constexpr COLORREF kBackground = RGB(0, 30, 60);
constexpr COLORREF kInk = RGB(0, 255, 0);

// A memory DC with its own bitmap, compatible with `screen`.
struct MemoryPage {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ old = nullptr;

    MemoryPage(HDC screen, int width, int height)
        : dc(CreateCompatibleDC(screen)), bitmap(CreateCompatibleBitmap(screen, width, height)),
          old(SelectObject(dc, bitmap)) {}
    ~MemoryPage() {
        if (old) {
            SelectObject(dc, old);
        }
        DeleteDC(dc);
        DeleteObject(bitmap);
    }
    MemoryPage(const MemoryPage&) = delete;
    MemoryPage& operator=(const MemoryPage&) = delete;
};

// The screen's DC, held for as long as the pages made from it.
struct ScreenDC {
    HDC screen = GetDC(nullptr);
    ~ScreenDC() { ReleaseDC(nullptr, screen); }
};

// A memory page compatible with the screen, filled with the background.
struct Page : ScreenDC, MemoryPage {
    int width;
    int height;

    Page(int w, int h) : MemoryPage(screen, w, h), width(w), height(h) {
        HBRUSH brush = CreateSolidBrush(kBackground);
        RECT all{0, 0, w, h};
        FillRect(dc, &all, brush);
        DeleteObject(brush);
    }

    // One character per pixel: '#' ink, '.' background, '?' anything else.
    std::vector<std::string> picture() const {
        std::vector<std::string> rows;
        for (int y = 0; y < height; ++y) {
            std::string row;
            for (int x = 0; x < width; ++x) {
                const COLORREF c = GetPixel(dc, x, y);
                row += c == kInk ? '#' : c == kBackground ? '.' : '?';
            }
            rows.push_back(row);
        }
        return rows;
    }

    void line(int x0, int y0, int x1, int y1, int width_px = 2) {
        HPEN pen = CreatePen(PS_SOLID, width_px, kInk);
        HGDIOBJ previous = SelectObject(dc, pen);
        MoveToEx(dc, x0, y0, nullptr);
        LineTo(dc, x1, y1);
        SelectObject(dc, previous);
        DeleteObject(pen);
    }
};

// Whether the red notice is where the peak display draws it.
inline bool notice_shown(HDC dc) {
    for (int y = 20; y < 40; ++y) {
        for (int x = 20; x < 60; ++x) {
            const COLORREF c = GetPixel(dc, x, y);
            if (GetRValue(c) > 200 && GetGValue(c) < 80 && GetBValue(c) < 80) {
                return true;
            }
        }
    }
    return false;
}
