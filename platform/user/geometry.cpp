// Rectangles and monitors: where windows are, the screens they are on, the
// system's sizes and the cursor.
#include <windows.h>

#include <stdint.h>

#include "toolkit/os_window.h"
#include "user/internal.h"

using namespace user;

namespace user {

void offset(RECT& r, LONG dx, LONG dy) {
    r.left += dx;
    r.right += dx;
    r.top += dy;
    r.bottom += dy;
}

} // namespace user

BOOL GetWindowRect(HWND hwnd, LPRECT rect) {
    WindowObject* w = find_or_fail(hwnd);
    if (!w || !rect) {
        return FALSE;
    }
    *rect = w->rect;
    if (WindowObject* parent = find(w->parent)) {
        offset(*rect, parent->rect.left, parent->rect.top);
    }
    return TRUE;
}

BOOL GetClientRect(HWND hwnd, LPRECT rect) {
    WindowObject* w = find_or_fail(hwnd);
    if (!w || !rect) {
        return FALSE;
    }
    *rect = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    return TRUE;
}

BOOL SetWindowPos(HWND hwnd, HWND /*insert_after*/, int x, int y, int width, int height,
                  UINT flags) {
    WindowObject* w = find_or_fail(hwnd);
    if (!w) {
        return FALSE;
    }
    if (!(flags & SWP_NOMOVE)) {
        offset(w->rect, x - w->rect.left, y - w->rect.top);
        os_window_move(w->os, x, y);
    }
    if (!(flags & SWP_NOSIZE) &&
        (width != w->rect.right - w->rect.left || height != w->rect.bottom - w->rect.top)) {
        // Linux: the program never resizes; the size stays as the template made it.
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (flags & SWP_SHOWWINDOW) {
        ShowWindow(hwnd, SW_SHOWNA);
    } else if (flags & SWP_HIDEWINDOW) {
        ShowWindow(hwnd, SW_HIDE);
    }
    return TRUE;
}

// Monitor handles are index + 1, so none is null.
HMONITOR MonitorFromWindow(HWND hwnd, DWORD flags) {
    if (!os_open_display() || os_monitor_count() <= 0) {
        return nullptr;
    }
    RECT r{};
    if (!GetWindowRect(hwnd, &r)) {
        return flags == MONITOR_DEFAULTTONULL ? nullptr : reinterpret_cast<HMONITOR>(intptr_t{1});
    }
    return reinterpret_cast<HMONITOR>(static_cast<intptr_t>(os_monitor_nearest(r)) + 1);
}

BOOL GetMonitorInfoW(HMONITOR monitor, LPMONITORINFO info) {
    if (!info || info->cbSize < sizeof(MONITORINFO) || !monitor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const int index = static_cast<int>(reinterpret_cast<intptr_t>(monitor)) - 1;
    if (!os_monitor_rects(index, &info->rcMonitor, &info->rcWork)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->dwFlags = index == 0 ? 1u : 0u; // MONITORINFOF_PRIMARY
    return TRUE;
}

int GetSystemMetrics(int index) {
    switch (index) {
    // Icons grow with the DPI, as a DPI-aware program's do on Windows.
    case SM_CXICON:
    case SM_CYICON:
        return 32 * os_display_dpi() / 96;
    case SM_CXSMICON:
    case SM_CYSMICON:
        return 16 * os_display_dpi() / 96;
    case SM_CXSCREEN:
    case SM_CYSCREEN: {
        RECT monitor{};
        RECT work{};
        if (!os_open_display() || !os_monitor_rects(0, &monitor, &work)) {
            return 0;
        }
        return index == SM_CXSCREEN ? monitor.right - monitor.left : monitor.bottom - monitor.top;
    }
    }
    return 0;
}

BOOL GetCursorPos(LPPOINT point) {
    // Over one of our windows the point is where that window's client area
    // is on the program's screen (the real one on X11, on Wayland the places
    // the program gave its windows) plus the pointer's place in it. A
    // Wayland client is told nothing of the pointer elsewhere: there the last
    // point seen over our windows stands in, as good a place as any for a
    // menu opened from the keyboard.
    thread_local POINT last_seen{};
    thread_local bool seen = false;
    HWND over = nullptr;
    POINT at{};
    if (!point || !os_open_display()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (os_pointer_position(&over, &at)) {
        if (WindowObject* w = find(over)) {
            at.x += w->rect.left;
            at.y += w->rect.top;
        }
        last_seen = at;
        seen = true;
    } else if (!seen) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *point = last_seen;
    return TRUE;
}
