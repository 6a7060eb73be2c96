// Input from the toolkit: clicks, keys and the close box become posted
// messages, so that the loops' filters see them, as on Windows; the focus and
// a moved window are noted as they happen.
#include <windows.h>

#include "toolkit/os_window.h"
#include "user/internal.h"

using namespace user;

namespace {

thread_local bool shift_down = false;
// The window that took the latest key press that was not a repeat, and its
// key. A held key's repeats stay with that window: the Return that closes a
// message box is not handed on to the window behind it, which would press
// that window's default button as often as the key repeats.
thread_local HWND pressed_in = nullptr;
thread_local int pressed_key = 0;

} // namespace

void user_event_click(HWND control) {
    queue_post_input(control, BM_CLICK, 0, 0);
}

void user_event_close(HWND toplevel) {
    queue_post_input(toplevel, WM_SYSCOMMAND, SC_CLOSE, 0);
}

void user_event_key(HWND toplevel, int virtual_key, bool shift, bool repeat) {
    shift_down = shift;
    if (!repeat) {
        pressed_in = toplevel;
        pressed_key = virtual_key;
    } else if (pressed_in != toplevel || pressed_key != virtual_key) {
        return;
    }
    WindowObject* dialog = find(toplevel);
    if (!dialog) {
        return;
    }
    const HWND target = find(dialog->focus) ? dialog->focus : toplevel;
    // Windows sets bit 30 of a repeat's lParam: the key was down before.
    queue_post_input(target, WM_KEYDOWN, static_cast<WPARAM>(virtual_key),
                     repeat ? 1 | (1 << 30) : 1);
}

void user_event_focus(HWND control) {
    if (WindowObject* c = find(control)) {
        if (WindowObject* dialog = find(c->parent)) {
            dialog->focus = control;
        }
    }
}

void user_event_moved(HWND toplevel, int x, int y) {
    if (WindowObject* w = find(toplevel)) {
        offset(w->rect, x - w->rect.left, y - w->rect.top);
    }
}

short GetKeyState(int virtual_key) {
    // Only Shift is tracked: the dialog manager's Shift+Tab needs it.
    return virtual_key == VK_SHIFT && shift_down ? static_cast<short>(0x8000) : 0;
}
