// GDI on software bitmaps: 32-bit pixels (0x00RRGGBB) of a memory DC's
// bitmap, a page (display_page/), or of a control's window DC, shared with
// the toolkit, which shows them. Drawing is exact and can be checked pixel
// by pixel. Where a page lives with the display is display_page's: GDI
// asks it for the pixels before drawing, tells it what was drawn, and hands
// it a copy of a page onto a control.
#include <windows.h>

#include <math.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "display_page/display_page.h"
#include "kernel/text.h"
#include "toolkit/os_window.h"
#include "user/user.h"

namespace {

struct Pen {
    int style = PS_SOLID;
    int width = 1;
    COLORREF colour = 0;
};

struct Dc {
    DisplayPage* bitmap = nullptr; // memory DCs
    HBITMAP bitmap_handle = nullptr;
    OsWindow* window = nullptr; // window DCs: the control's backing bitmap
    HWND hwnd = nullptr;
    Pen pen;                   // copied at selection: a deleted pen keeps drawing
    HPEN pen_handle = nullptr; // what SelectObject hands back
    HBRUSH brush_handle = nullptr;
    POINT position{0, 0};
    int bk_mode = OPAQUE;
    COLORREF text_colour = 0;
};

struct Object {
    enum Kind { kDc, kBitmap, kPen, kBrush } kind;
    Dc dc;
    DisplayPage* bitmap = nullptr;
    Pen pen;
    COLORREF brush = 0;
    bool stock = false; // never deleted
};

// One handle space for DCs and objects, as on Windows. The window thread is
// the only user, but the lock keeps a stray call from another thread safe.
struct Table {
    std::mutex lock;
    std::unordered_map<uintptr_t, Object*> objects;
    uintptr_t next = 0x20000;
};

Table& table() {
    static Table* const instance = new Table;
    return *instance;
}

uintptr_t add(Object* object) {
    Table& t = table();
    std::lock_guard guard(t.lock);
    const uintptr_t handle = t.next;
    t.next += 4;
    t.objects.emplace(handle, object);
    return handle;
}

Object* find(const void* handle, Object::Kind kind) {
    Table& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    return it == t.objects.end() || it->second->kind != kind ? nullptr : it->second;
}

Dc* find_dc(HDC hdc) {
    Object* o = find(hdc, Object::kDc);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return &o->dc;
}

// The black 1-pixel pen every new DC starts with, as on Windows.
HPEN stock_pen() {
    static const HPEN pen = [] {
        auto* o = new Object{Object::kPen, {}, {}, Pen{PS_SOLID, 1, 0}, 0, true};
        return reinterpret_cast<HPEN>(add(o));
    }();
    return pen;
}

HDC new_dc(Dc dc) {
    dc.pen_handle = stock_pen();
    dc.pen = Pen{PS_SOLID, 1, 0};
    auto* o = new Object{Object::kDc, dc, {}, {}, 0, false};
    return reinterpret_cast<HDC>(add(o));
}

void remove(const void* handle) {
    Table& t = table();
    std::lock_guard guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it != t.objects.end()) {
        delete it->second;
        t.objects.erase(it);
    }
}

// The area between two edges, clamped to what a bitmap can hold.
Area area_of(int64_t left, int64_t top, int64_t right, int64_t bottom) {
    auto at = [](int64_t v) { return static_cast<int>(std::clamp<int64_t>(v, 0, INT32_MAX)); };
    return Area{at(left), at(top), at(right) - at(left), at(bottom) - at(top)};
}

// The pixels a DC draws on; null data when it has none. `area` is the part
// about to be used, and `drawing` says it is about to change.
OsPixels surface(const Dc& dc, const Area& area = Area{}, bool drawing = false) {
    if (dc.bitmap) {
        return display_page_pixels(dc.bitmap, area, drawing);
    }
    if (dc.window) {
        return display_window_pixels(dc.window, area);
    }
    return OsPixels{nullptr, 0, 0};
}

OsPixels surface_to_draw(const Dc& dc, const Area& area) {
    return surface(dc, area, true);
}

uint32_t pixel_of(COLORREF c) {
    return static_cast<uint32_t>(GetRValue(c)) << 16 | static_cast<uint32_t>(GetGValue(c)) << 8 |
           GetBValue(c);
}

void fill(OsPixels s, int left, int top, int right, int bottom, uint32_t value) {
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, s.width);
    bottom = std::min(bottom, s.height);
    for (int y = top; y < bottom; ++y) {
        std::fill(s.data + static_cast<size_t>(y) * s.width + left,
                  s.data + static_cast<size_t>(y) * s.width + std::max(left, right), value);
    }
}

// A window DC's drawing goes to the screen, a page's is told to
// display_page: only the part it changed, and `filled_with` when the drawing
// filled that part with one value.
void drawn(const Dc& dc, const Area& area, std::optional<uint32_t> filled_with = std::nullopt) {
    const OsPixels s = surface(dc);
    const Area changed = common(area, Area{0, 0, s.width, s.height});
    if (dc.window) {
        os_window_redraw(dc.window, changed);
    } else if (dc.bitmap) {
        display_page_drawn(dc.bitmap, changed, filled_with);
    }
}

} // namespace

HDC GetDC(HWND hwnd) {
    if (!hwnd) {
        // The screen: something to make compatible DCs and bitmaps from.
        // Linux: it has no pixels of its own.
        return new_dc(Dc{});
    }
    OsWindow* window = user_os_window(hwnd);
    if (!window || !os_window_pixels(window).data) {
        // Linux: only controls with a backing bitmap (the black rectangle) have a DC.
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    Dc dc;
    dc.window = window;
    dc.hwnd = hwnd;
    return new_dc(dc);
}

int ReleaseDC(HWND hwnd, HDC hdc) {
    Dc* dc = find_dc(hdc);
    if (!dc || dc->bitmap_handle || dc->hwnd != hwnd) {
        return 0;
    }
    remove(hdc);
    return 1;
}

HDC CreateCompatibleDC(HDC hdc) {
    if (hdc && !find_dc(hdc)) {
        return nullptr;
    }
    // Linux: a new memory DC draws nowhere until a bitmap is selected (Windows
    // gives it a 1x1 monochrome one).
    return new_dc(Dc{});
}

BOOL DeleteDC(HDC hdc) {
    Dc* dc = find_dc(hdc);
    if (!dc) {
        return FALSE;
    }
    remove(hdc);
    return TRUE;
}

HBITMAP CreateCompatibleBitmap(HDC hdc, int width, int height) {
    const Dc* dc = find_dc(hdc);
    if (!dc) {
        return nullptr;
    }
    if (width <= 0 || height <= 0 || width > 16384 || height > 16384) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto* o = new Object{Object::kBitmap, {}, {}, {}, 0, false};
    // Linux: always 32 bits per pixel, starting black, as a screen bitmap
    // does. Made from a window's DC, it lives with the display too.
    o->bitmap = display_page_create(width, height, dc->window != nullptr);
    return reinterpret_cast<HBITMAP>(add(o));
}

HPEN CreatePen(int style, int width, COLORREF colour) {
    if (style != PS_SOLID) {
        SetLastError(ERROR_INVALID_PARAMETER); // Linux: solid pens only
        return nullptr;
    }
    auto* o = new Object{Object::kPen, {}, {}, {}, 0, false};
    // Width 0 draws one pixel wide, as on Windows.
    o->pen = Pen{style, std::max(width, 1), colour};
    return reinterpret_cast<HPEN>(add(o));
}

HBRUSH CreateSolidBrush(COLORREF colour) {
    auto* o = new Object{Object::kBrush, {}, {}, {}, colour, false};
    return reinterpret_cast<HBRUSH>(add(o));
}

HGDIOBJ SelectObject(HDC hdc, HGDIOBJ object) {
    Dc* dc = find_dc(hdc);
    if (!dc || !object) {
        return nullptr;
    }
    if (Object* pen = find(object, Object::kPen)) {
        HGDIOBJ previous = dc->pen_handle;
        dc->pen = pen->pen;
        dc->pen_handle = object;
        return previous;
    }
    if (find(object, Object::kBrush)) {
        HGDIOBJ previous = dc->brush_handle;
        dc->brush_handle = object;
        return previous;
    }
    if (Object* bitmap = find(object, Object::kBitmap)) {
        if (dc->window) {
            return nullptr; // only memory DCs take bitmaps
        }
        HGDIOBJ previous = dc->bitmap_handle;
        dc->bitmap = bitmap->bitmap;
        dc->bitmap_handle = object;
        return previous;
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return HGDI_ERROR;
}

BOOL DeleteObject(HGDIOBJ object) {
    Object* o = find(object, Object::kBitmap);
    if (!o) {
        o = find(object, Object::kPen);
    }
    if (!o) {
        o = find(object, Object::kBrush);
    }
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (o->stock) {
        return TRUE; // harmless, as on Windows
    }
    Table& t = table();
    {
        std::lock_guard guard(t.lock);
        for (auto& [handle, other] : t.objects) {
            if (other->kind != Object::kDc) {
                continue;
            }
            Dc& dc = other->dc;
            if (dc.bitmap_handle == object) {
                // A bitmap in use stays, as on Windows.
                SetLastError(ERROR_BUSY);
                return FALSE;
            }
            // A selected pen or brush may go: the DC keeps drawing with the
            // pen's copy and stops handing the handle back.
            if (dc.pen_handle == object) {
                dc.pen_handle = nullptr;
            }
            if (dc.brush_handle == object) {
                dc.brush_handle = nullptr;
            }
        }
    }
    if (o->kind == Object::kBitmap) {
        display_page_destroy(o->bitmap);
    }
    remove(object);
    return TRUE;
}

int FillRect(HDC hdc, const RECT* rect, HBRUSH brush) {
    Dc* dc = find_dc(hdc);
    Object* b = find(brush, Object::kBrush);
    if (!dc || !b || !rect) {
        return 0;
    }
    const OsPixels s =
        surface_to_draw(*dc, area_of(rect->left, rect->top, rect->right, rect->bottom));
    if (s.data) {
        fill(s, rect->left, rect->top, rect->right, rect->bottom, pixel_of(b->brush));
        drawn(*dc, area_of(rect->left, rect->top, rect->right, rect->bottom), pixel_of(b->brush));
    }
    return 1;
}

BOOL MoveToEx(HDC hdc, int x, int y, LPPOINT previous) {
    Dc* dc = find_dc(hdc);
    if (!dc) {
        return FALSE;
    }
    if (previous) {
        *previous = dc->position;
    }
    dc->position = POINT{x, y};
    return TRUE;
}

namespace {

// A 1-pixel pen draws the points of the line from the current position up
// to, not including, the end point (Bresenham). A wider pen is a geometric
// one with round caps: Windows covers the line thickened by its width, which
// for width 2 is the column (or row) before the line and the line's own,
// from one pixel before the start up to and including the end point. Each
// point, the end point too, is stamped with a pen-wide square that lies half
// before it; exact for widths 1 and 2, the only ones the program uses.
//
// Coordinates may be anything an int holds: the line is clipped to the
// bitmap before a pixel is touched, so its cost follows what is visible, not
// how long it is. Upright and level lines are clipped exactly; a slanted one
// that leaves the bitmap is first cut at the bitmap's edges (Linux: where it
// enters, it may then differ by a pixel from Windows' own).
//
// True when what it drew is the one rectangle `*filled` (an upright or level
// line); `*filled` is then empty when nothing of it was visible.
bool draw_line(OsPixels s, POINT from, POINT to, const Pen& pen, Area* filled) {
    const uint32_t value = pixel_of(pen.colour);
    const int64_t before = pen.width / 2;
    const int64_t after = pen.width - before;
    const bool wide = pen.width > 1;
    // The points whose stamp can touch the bitmap.
    const int64_t low_x = 1 - after, high_x = s.width - 1 + before;
    const int64_t low_y = 1 - after, high_y = s.height - 1 + before;
    int64_t x0 = from.x, y0 = from.y, x1 = to.x, y1 = to.y;
    *filled = Area{};
    auto stamp_rect = [&](int64_t left, int64_t top, int64_t right, int64_t bottom) {
        // Inclusive point ranges, already inside the reach above.
        fill(s, static_cast<int>(left - before), static_cast<int>(top - before),
             static_cast<int>(right + after), static_cast<int>(bottom + after), value);
    };

    if (x0 == x1 || y0 == y1) {
        // Upright or level: the points form one run, and their stamps one
        // rectangle. A thin pen leaves out the end point.
        if (x0 == x1 && y0 == y1 && !wide) {
            return true;
        }
        const bool upright = x0 == x1 && y0 != y1;
        int64_t a = upright ? y0 : x0;
        int64_t b = upright ? y1 : x1;
        if (!wide) {
            b += a < b ? -1 : 1;
        }
        const int64_t lo = std::min(a, b), hi = std::max(a, b);
        const int64_t fixed = upright ? x0 : y0;
        const int64_t fixed_low = upright ? low_x : low_y, fixed_high = upright ? high_x : high_y;
        const int64_t run_low = upright ? low_y : low_x, run_high = upright ? high_y : high_x;
        if (fixed < fixed_low || fixed > fixed_high || hi < run_low || lo > run_high) {
            return true;
        }
        const int64_t first = std::max(lo, run_low), last = std::min(hi, run_high);
        if (upright) {
            stamp_rect(fixed, first, fixed, last);
            *filled = area_of(fixed - before, first - before, fixed + after, last + after);
        } else {
            stamp_rect(first, fixed, last, fixed);
            *filled = area_of(first - before, fixed - before, last + after, fixed + after);
        }
        return true;
    }

    bool include_end = wide;
    const int64_t span_x = high_x - low_x, span_y = high_y - low_y;
    if (std::max(std::abs(x1 - x0), std::abs(y1 - y0)) > 2 * (span_x + span_y)) {
        // Long enough to be mostly outside: cut it to the reach (Liang-Barsky).
        double t0 = 0.0, t1 = 1.0;
        const double dx = static_cast<double>(x1 - x0), dy = static_cast<double>(y1 - y0);
        auto cut = [&](double p, double q) {
            if (p == 0.0) {
                return q >= 0.0;
            }
            const double r = q / p;
            if (p < 0.0) {
                t0 = std::max(t0, r);
            } else {
                t1 = std::min(t1, r);
            }
            return t0 <= t1;
        };
        if (!cut(-dx, static_cast<double>(x0 - low_x)) ||
            !cut(dx, static_cast<double>(high_x - x0)) ||
            !cut(-dy, static_cast<double>(y0 - low_y)) ||
            !cut(dy, static_cast<double>(high_y - y0))) {
            return true;
        }
        const int64_t cx0 = x0 + std::llround(t0 * dx), cy0 = y0 + std::llround(t0 * dy);
        const int64_t cx1 = x0 + std::llround(t1 * dx), cy1 = y0 + std::llround(t1 * dy);
        // A cut end lies inside the line, so it is drawn.
        include_end = include_end || t1 < 1.0;
        x0 = cx0;
        y0 = cy0;
        x1 = cx1;
        y1 = cy1;
    }

    const int64_t dx = std::abs(x1 - x0);
    const int64_t dy = -std::abs(y1 - y0);
    const int64_t sx = x0 < x1 ? 1 : -1;
    const int64_t sy = y0 < y1 ? 1 : -1;
    int64_t err = dx + dy;
    int64_t cx = x0, cy = y0;
    for (;;) {
        const bool at_end = cx == x1 && cy == y1;
        if (at_end && !include_end) {
            break;
        }
        if (cx >= low_x && cx <= high_x && cy >= low_y && cy <= high_y) {
            stamp_rect(cx, cy, cx, cy);
        }
        if (at_end) {
            break;
        }
        const int64_t e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            cx += sx;
        }
        if (e2 <= dx) {
            err += dx;
            cy += sy;
        }
    }
    return false;
}

} // namespace

BOOL LineTo(HDC hdc, int x, int y) {
    Dc* dc = find_dc(hdc);
    if (!dc) {
        return FALSE;
    }
    // The pen's square at both ends bounds what it covers, exactly: on a
    // page kept with the display this is what is sent of a trace line.
    const int64_t before = dc->pen.width / 2;
    const int64_t after = dc->pen.width - before;
    const Area covered = area_of(int64_t{std::min(x, dc->position.x)} - before,
                                 int64_t{std::min(y, dc->position.y)} - before,
                                 int64_t{std::max(x, dc->position.x)} + after,
                                 int64_t{std::max(y, dc->position.y)} + after);
    const OsPixels s = surface_to_draw(*dc, covered);
    if (s.data) {
        Area filled;
        if (draw_line(s, dc->position, POINT{x, y}, dc->pen, &filled)) {
            drawn(*dc, filled, pixel_of(dc->pen.colour));
        } else {
            drawn(*dc, covered);
        }
    }
    dc->position = POINT{x, y};
    return TRUE;
}

BOOL BitBlt(HDC dest, int x, int y, int width, int height, HDC source, int source_x, int source_y,
            DWORD rop) {
    Dc* d = find_dc(dest);
    Dc* src = find_dc(source);
    if (!d || !src) {
        return FALSE;
    }
    if (rop != SRCCOPY) {
        SetLastError(ERROR_INVALID_PARAMETER); // Linux: copies only
        return FALSE;
    }
    const OsPixels to = surface(*d);
    const OsPixels from = surface(*src);
    if (!to.data || !from.data) {
        return TRUE;
    }
    // Clipped to both bitmaps; what lies outside either is left alone. The
    // rectangle is clipped once and copied a row at a time: the display
    // copies most of a page on every level update.
    int64_t to_x = x, to_y = y, from_x = source_x, from_y = source_y;
    int64_t w = width, h = height;
    auto clip = [](int64_t& to_start, int64_t& from_start, int64_t& length, int64_t to_size,
                   int64_t from_size) {
        const int64_t before = std::max<int64_t>({0, -to_start, -from_start});
        to_start += before;
        from_start += before;
        length -= before;
        length = std::min({length, to_size - to_start, from_size - from_start});
    };
    clip(to_x, from_x, w, to.width, from.width);
    clip(to_y, from_y, h, to.height, from.height);
    if (w <= 0 || h <= 0) {
        return TRUE;
    }
    // A page kept with the display is copied there; the window's own pixels
    // get the block only when something uses that part of them.
    const Area block = area_of(to_x, to_y, to_x + w, to_y + h);
    if (d->window && src->bitmap &&
        display_page_copy(src->bitmap, d->window, block, static_cast<int>(from_x),
                          static_cast<int>(from_y))) {
        return TRUE;
    }
    surface(*src, area_of(from_x, from_y, from_x + w, from_y + h));
    surface_to_draw(*d, block);
    // Within one bitmap the rows are taken in the order that never reads a
    // row already overwritten; memmove takes care of each row.
    const bool upward = to.data == from.data && to_y > from_y;
    for (int64_t i = 0; i < h; ++i) {
        const int64_t row = upward ? h - 1 - i : i;
        memmove(to.data + (to_y + row) * to.width + to_x,
                from.data + (from_y + row) * from.width + from_x,
                static_cast<size_t>(w) * sizeof *to.data);
    }
    drawn(*d, block);
    return TRUE;
}

int SetBkMode(HDC hdc, int mode) {
    Dc* dc = find_dc(hdc);
    if (!dc || (mode != TRANSPARENT && mode != OPAQUE)) {
        return 0;
    }
    const int previous = dc->bk_mode;
    dc->bk_mode = mode;
    return previous;
}

COLORREF SetTextColor(HDC hdc, COLORREF colour) {
    Dc* dc = find_dc(hdc);
    if (!dc) {
        return CLR_INVALID;
    }
    const COLORREF previous = dc->text_colour;
    dc->text_colour = colour;
    return previous;
}

BOOL TextOutW(HDC hdc, int x, int y, LPCWSTR text, int count) {
    Dc* dc = find_dc(hdc);
    if (!dc || count < 0 || (count > 0 && !text)) {
        return FALSE;
    }
    std::string narrow;
    if (!text_utf8_from_wide(std::wstring_view(text ? text : L"", count), narrow)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (count == 0) {
        return TRUE;
    }
    const RECT cell = os_text_cell(x, y, narrow.c_str(), dc->text_colour);
    const OsPixels s = surface_to_draw(*dc, area_of(cell.left, cell.top, cell.right, cell.bottom));
    if (s.data) {
        // Linux: the text is always drawn transparently, over what is there.
        const RECT r = os_draw_text(s, x, y, narrow.c_str(), dc->text_colour);
        drawn(*dc, area_of(r.left, r.top, r.right, r.bottom));
    }
    return TRUE;
}

COLORREF GetPixel(HDC hdc, int x, int y) {
    Dc* dc = find_dc(hdc);
    if (!dc) {
        return CLR_INVALID;
    }
    const OsPixels s = surface(*dc, area_of(x, y, int64_t{x} + 1, int64_t{y} + 1));
    if (!s.data || x < 0 || y < 0 || x >= s.width || y >= s.height) {
        return CLR_INVALID;
    }
    const uint32_t v = s.data[static_cast<size_t>(y) * s.width + x];
    return RGB((v >> 16) & 0xFF, (v >> 8) & 0xFF, v & 0xFF);
}
