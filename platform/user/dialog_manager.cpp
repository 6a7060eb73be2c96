// The dialog manager: the focus among a dialog's controls, the default
// handling around a dialog's procedure (the close box, the default button,
// WM_NEXTDLGCTL, its icons) and the keys of IsDialogMessageW (Tab, Escape,
// Enter, Space).
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <vector>

#include "toolkit/os_window.h"
#include "user/internal.h"

using namespace user;

namespace user {

bool can_take_focus(const WindowObject* w) {
    return w->visible && w->enabled && (w->style & WS_TABSTOP);
}

void set_focus_to(WindowObject* control) {
    WindowObject* dialog = find(control->parent);
    if (!dialog) {
        return;
    }
    dialog->focus = control->hwnd;
    os_window_focus(control->os);
}

} // namespace user

namespace {

bool is_ancestor_or_self(HWND dialog, HWND hwnd) {
    for (WindowObject* w = find(hwnd); w; w = find(w->parent)) {
        if (w->hwnd == dialog) {
            return true;
        }
    }
    return false;
}

// Messages whose answer a dialog procedure returns itself rather than
// through DWLP_MSGRESULT.
bool answers_directly(UINT message) {
    switch (message) {
    case WM_INITDIALOG:
    case WM_COMPAREITEM:
    case WM_VKEYTOITEM:
    case WM_CHARTOITEM:
    case WM_QUERYDRAGICON:
        return true;
    }
    return message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC;
}

HWND default_button(WindowObject* dialog) {
    for (HWND child : dialog->children) {
        WindowObject* c = find(child);
        if (c && c->kind == Kind::Button &&
            ((c->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON ||
             (c->style & BS_TYPEMASK) == BS_DEFCOMMANDLINK)) {
            return child;
        }
    }
    return nullptr;
}

// Moves the focus to the next (`back`: previous) control that takes it, in
// template order, round the dialog.
void focus_next_tab_stop(WindowObject* d, bool back) {
    const auto& order = d->children;
    const int n = static_cast<int>(order.size());
    int at = static_cast<int>(std::find(order.begin(), order.end(), d->focus) - order.begin());
    if (at >= n) {
        at = back ? 0 : n - 1;
    }
    for (int step = 1; step <= n; ++step) {
        const int i = ((at + (back ? -step : step)) % n + n) % n;
        if (WindowObject* c = find(order[static_cast<size_t>(i)]); c && can_take_focus(c)) {
            set_focus_to(c);
            return;
        }
    }
}

LRESULT dialog_default(WindowObject* w, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
        return text_message(w, message, wparam, lparam);
    case WM_SYSCOMMAND:
        if ((wparam & 0xFFF0) == SC_CLOSE) {
            SendMessageW(w->hwnd, WM_CLOSE, 0, 0);
        }
        return 0;
    case WM_CLOSE: {
        // The close box means Cancel, unless a Cancel button is there and disabled.
        HWND cancel = GetDlgItem(w->hwnd, IDCANCEL);
        WindowObject* c = find(cancel);
        if (!c || c->enabled) {
            PostMessageW(w->hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(cancel));
        }
        return 0;
    }
    case WM_NEXTDLGCTL:
        // LOWORD(lParam) set: wParam is the control to focus; otherwise the
        // next (wParam 0) or previous tab stop.
        if (LOWORD(lparam) != 0) {
            WindowObject* c = find(reinterpret_cast<HWND>(wparam));
            if (c && c->parent == w->hwnd && can_take_focus(c)) {
                set_focus_to(c);
            }
        } else {
            focus_next_tab_stop(w, wparam != 0);
        }
        return 0;
    case DM_GETDEFID: {
        WindowObject* d = find(default_button(w));
        return d ? MAKELONG(d->id, DC_HASDEFID) : 0;
    }
    case WM_SETICON: {
        const int which = wparam == ICON_BIG ? ICON_BIG : ICON_SMALL;
        HICON previous = w->icons[which];
        w->icons[which] = reinterpret_cast<HICON>(lparam);
        // The toolkit takes one picture; the big one, else the small one.
        HICON shown = w->icons[ICON_BIG] ? w->icons[ICON_BIG] : w->icons[ICON_SMALL];
        os_window_set_image(w->os, icon_pixels(shown));
        return reinterpret_cast<LRESULT>(previous);
    }
    case WM_GETICON:
        return reinterpret_cast<LRESULT>(w->icons[wparam == ICON_BIG ? ICON_BIG : ICON_SMALL]);
    }
    return 0;
}

} // namespace

namespace user {

LRESULT dialog_proc(WindowObject* w, UINT message, WPARAM wparam, LPARAM lparam) {
    const HWND hwnd = w->hwnd;
    auto procedure = reinterpret_cast<DLGPROC>(w->words[1]);
    w->words[0] = 0;
    const INT_PTR answer = procedure ? procedure(hwnd, message, wparam, lparam) : 0;
    WindowObject* still = find(hwnd);
    if (answer) {
        if (answers_directly(message)) {
            return answer;
        }
        return still ? still->words[0] : 0;
    }
    if (!still) {
        return 0;
    }
    return dialog_default(still, message, wparam, lparam);
}

} // namespace user

BOOL IsDialogMessageW(HWND dialog, LPMSG msg) {
    WindowObject* d = find(dialog);
    if (!msg || !d || d->kind != Kind::Dialog || !msg->hwnd ||
        !is_ancestor_or_self(dialog, msg->hwnd)) {
        return FALSE;
    }
    if (msg->message == WM_KEYDOWN) {
        switch (msg->wParam) {
        case VK_TAB:
            focus_next_tab_stop(d, GetKeyState(VK_SHIFT) < 0);
            return TRUE;
        case VK_ESCAPE:
            SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(dialog, IDCANCEL)));
            return TRUE;
        case VK_RETURN: {
            // A link takes Enter itself; otherwise the focused push button,
            // else the default one, else IDOK.
            WindowObject* f = find(d->focus);
            if (f && f->kind == Kind::Link) {
                NMHDR header{f->hwnd, static_cast<UINT_PTR>(f->id), NM_RETURN};
                SendMessageW(dialog, WM_NOTIFY, static_cast<WPARAM>(f->id),
                             reinterpret_cast<LPARAM>(&header));
                return TRUE;
            }
            int id = IDOK;
            if (f && f->kind == Kind::Button && f->control != OsControl::GroupBox) {
                id = f->id;
            } else if (WindowObject* def = find(default_button(d))) {
                id = def->id;
            }
            HWND control = GetDlgItem(dialog, id);
            WindowObject* c = find(control);
            if (!c || c->enabled) {
                SendMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                             reinterpret_cast<LPARAM>(control));
            }
            return TRUE;
        }
        case VK_SPACE: {
            // Space presses a button; a link takes only Enter (NM_RETURN
            // above), as the link control does on Windows.
            WindowObject* f = find(d->focus);
            if (f && f->kind == Kind::Button) {
                SendMessageW(f->hwnd, BM_CLICK, 0, 0);
            }
            return TRUE;
        }
        }
    }
    DispatchMessageW(msg);
    return TRUE;
}
