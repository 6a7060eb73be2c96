// Windows: the objects dialogs and controls keep their state in, their
// procedures and messages, their destruction, their words and their state.
// Windows live on the thread that created them; their pictures are the
// toolkit's (toolkit/os_window.h), their state is here.
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "kernel/text.h"
#include "toolkit/os_window.h"
#include "user/internal.h"
#include "user/user.h"

#define ERROR_INVALID_INDEX 1413u

using namespace user;

namespace user {

thread_local HWND active_window = nullptr;
thread_local std::vector<HWND> thread_dialogs; // so that an owner can take its dialogs along

WindowObject* find(HWND hwnd) {
    return static_cast<WindowObject*>(queue_window_object(hwnd));
}

WindowObject* find_or_fail(HWND hwnd) {
    WindowObject* w = find(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    }
    return w;
}

std::string utf8(const std::wstring& text) {
    std::string out;
    text_utf8_from_wide(text, out);
    return out;
}

LRESULT text_message(WindowObject* w, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_SETTEXT: {
        const auto* text = reinterpret_cast<const WCHAR*>(lparam);
        w->text = text ? text : L"";
        if (w->os) {
            os_window_set_text(w->os, utf8(w->text).c_str());
        }
        return TRUE;
    }
    case WM_GETTEXT: {
        auto* buffer = reinterpret_cast<WCHAR*>(lparam);
        if (!buffer || wparam == 0) {
            return 0;
        }
        const size_t n = std::min<size_t>(w->text.size(), wparam - 1);
        w->text.copy(buffer, n);
        buffer[n] = 0;
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(w->text.size());
    }
    return 0;
}

} // namespace user

namespace {

LRESULT window_proc(WindowObject* w, UINT message, WPARAM wparam, LPARAM lparam) {
    return w->kind == Kind::Dialog ? dialog_proc(w, message, wparam, lparam)
                                   : control_proc(w, message, wparam, lparam);
}

} // namespace

namespace user {

// Frees what set-up got as far as making; each step may be missing.
void release(WindowObject* w) {
    if (w->os) {
        os_window_destroy(w->os);
    }
    std::erase(thread_dialogs, w->hwnd);
    if (w->kind == Kind::Static && (w->style & SS_TYPEMASK) == SS_ICON && w->image) {
        DestroyIcon(static_cast<HICON>(w->image)); // loaded by the static itself
    }
    delete w;
}

void destroy_tree(WindowObject* w) {
    w->destroying = true;
    const HWND hwnd = w->hwnd;
    if (active_window == hwnd) {
        // The owner becomes active again, as when a modal dialog closes.
        active_window = w->kind == Kind::Dialog ? w->owner : nullptr;
    }
    window_proc(w, WM_DESTROY, 0, 0);
    for (HWND child : std::vector<HWND>(w->children)) {
        if (WindowObject* c = find(child)) {
            destroy_tree(c);
        }
    }
    if ((w = find(hwnd)) != nullptr) {
        window_proc(w, WM_NCDESTROY, 0, 0);
    }
    if ((w = find(hwnd)) != nullptr) {
        queue_remove_window(hwnd);
        release(w);
    }
}

} // namespace user

// ---- messages ----

LRESULT SendMessageW(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    WindowObject* w = find(hwnd);
    if (!w) {
        // Message-only windows have no procedure; other threads' windows
        // are not sent to (the program never does).
        if (!IsWindow(hwnd)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        }
        return 0;
    }
    return window_proc(w, message, wparam, lparam);
}

LRESULT DispatchMessageW(const MSG* msg) {
    if (!msg || !msg->hwnd) {
        return 0;
    }
    return SendMessageW(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL TranslateMessage(const MSG* msg) {
    // Keys come as WM_KEYDOWN only; no character messages are made.
    return msg && msg->message == WM_KEYDOWN ? TRUE : FALSE;
}

BOOL DestroyWindow(HWND hwnd) {
    WindowObject* w = find(hwnd);
    if (!w) {
        // A message-only window (no object) or not a window of this thread.
        return queue_remove_window(hwnd) ? TRUE : FALSE;
    }
    if (w->destroying) {
        return TRUE;
    }
    if (w->kind == Kind::Dialog) {
        // Its owned dialogs go first, as on Windows.
        for (HWND other : std::vector<HWND>(thread_dialogs)) {
            WindowObject* o = find(other);
            if (o && o->owner == hwnd) {
                DestroyWindow(other);
            }
        }
        if ((w = find(hwnd)) == nullptr) {
            return TRUE;
        }
    } else if (WindowObject* parent = find(w->parent)) {
        std::erase(parent->children, hwnd);
    }
    destroy_tree(w);
    return TRUE;
}

// ---- window words ----

LONG_PTR SetWindowLongPtrW(HWND hwnd, int index, LONG_PTR value) {
    WindowObject* w = find_or_fail(hwnd);
    if (!w) {
        return 0;
    }
    LONG_PTR* slot = nullptr;
    if (w->kind == Kind::Dialog && index >= 0 && index <= DWLP_USER &&
        index % static_cast<int>(sizeof(LONG_PTR)) == 0) {
        slot = &w->words[index / sizeof(LONG_PTR)];
    } else if (index == GWL_STYLE) {
        const LONG_PTR previous = w->style;
        w->style = static_cast<DWORD>(value);
        return previous;
    } else {
        SetLastError(ERROR_INVALID_INDEX);
        return 0;
    }
    const LONG_PTR previous = *slot;
    *slot = value;
    return previous;
}

LONG_PTR GetWindowLongPtrW(HWND hwnd, int index) {
    WindowObject* w = find_or_fail(hwnd);
    if (!w) {
        return 0;
    }
    switch (index) {
    case GWL_STYLE:
        return static_cast<LONG_PTR>(w->style) | (w->visible ? WS_VISIBLE : 0) |
               (w->enabled ? 0 : WS_DISABLED);
    case GWL_EXSTYLE:
        return w->ex_style;
    case GWLP_ID:
        return w->id;
    }
    if (w->kind == Kind::Dialog && index >= 0 && index <= DWLP_USER &&
        index % static_cast<int>(sizeof(LONG_PTR)) == 0) {
        return w->words[index / sizeof(LONG_PTR)];
    }
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
}

LONG GetWindowLongW(HWND hwnd, int index) {
    return static_cast<LONG>(GetWindowLongPtrW(hwnd, index));
}

// ---- state ----

BOOL ShowWindow(HWND hwnd, int show) {
    WindowObject* w = find_or_fail(hwnd);
    if (!w) {
        return FALSE;
    }
    const BOOL was_visible = w->visible ? TRUE : FALSE;
    w->visible = show != SW_HIDE;
    os_window_set_visible(w->os, w->visible);
    if (w->visible && w->kind == Kind::Dialog && show != SW_SHOWNA) {
        active_window = hwnd;
    }
    return was_visible;
}

BOOL EnableWindow(HWND hwnd, BOOL enable) {
    WindowObject* w = find_or_fail(hwnd);
    if (!w) {
        return FALSE;
    }
    const BOOL was_disabled = w->enabled ? FALSE : TRUE;
    w->enabled = enable != FALSE;
    // A disabled control can't keep the focus, and nothing else gets it, as
    // on Windows: a dialog that disables its focused control must move the
    // focus itself, or its keys (Tab, Escape) reach no control.
    if (!w->enabled) {
        if (WindowObject* dialog = find(w->parent); dialog && dialog->focus == hwnd) {
            dialog->focus = nullptr;
        }
    }
    os_window_set_enabled(w->os, w->enabled);
    return was_disabled;
}

BOOL IsWindowEnabled(HWND hwnd) {
    WindowObject* w = find(hwnd);
    return w && w->enabled ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hwnd) {
    WindowObject* w = find(hwnd);
    if (!w) {
        return FALSE;
    }
    // Visible only when its dialog is too.
    WindowObject* parent = find(w->parent);
    return w->visible && (!parent || parent->visible) ? TRUE : FALSE;
}

BOOL IsIconic(HWND /*hwnd*/) {
    return FALSE; // Linux: the window manager minimises without telling us
}

BOOL SetWindowTextW(HWND hwnd, LPCWSTR text) {
    if (!find_or_fail(hwnd)) {
        return FALSE;
    }
    return SendMessageW(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text)) ? TRUE : FALSE;
}

int GetWindowTextW(HWND hwnd, LPWSTR text, int max_count) {
    if (!text || max_count <= 0) {
        return 0;
    }
    if (!find_or_fail(hwnd)) {
        text[0] = 0;
        return 0;
    }
    return static_cast<int>(SendMessageW(hwnd, WM_GETTEXT, static_cast<WPARAM>(max_count),
                                         reinterpret_cast<LPARAM>(text)));
}

int GetWindowTextLengthW(HWND hwnd) {
    return find_or_fail(hwnd) ? static_cast<int>(SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0)) : 0;
}

HWND GetParent(HWND hwnd) {
    WindowObject* w = find_or_fail(hwnd);
    if (!w) {
        return nullptr;
    }
    // A popup's "parent" is its owner, as Windows answers.
    return w->kind == Kind::Dialog ? ((w->style & WS_POPUP) ? w->owner : nullptr) : w->parent;
}

HWND GetWindow(HWND hwnd, UINT relation) {
    WindowObject* w = find_or_fail(hwnd);
    if (!w) {
        return nullptr;
    }
    switch (relation) {
    case GW_OWNER:
        return w->kind == Kind::Dialog ? w->owner : nullptr;
    case GW_CHILD:
        return w->children.empty() ? nullptr : w->children.front();
    case GW_HWNDNEXT:
        if (WindowObject* parent = find(w->parent)) {
            auto it = std::find(parent->children.begin(), parent->children.end(), hwnd);
            if (it != parent->children.end() && ++it != parent->children.end()) {
                return *it;
            }
        }
        return nullptr;
    }
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
}

HWND GetActiveWindow(void) {
    return find(active_window) ? active_window : nullptr;
}

HCURSOR LoadCursorW(HINSTANCE instance, LPCWSTR name) {
    // A system shape is its own handle, shared and never destroyed.
    if (instance == nullptr && (name == IDC_ARROW || name == IDC_WAIT)) {
        return reinterpret_cast<HCURSOR>(const_cast<LPWSTR>(name));
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

HCURSOR SetCursor(HCURSOR cursor) {
    static thread_local HCURSOR current = LoadCursorW(nullptr, IDC_ARROW);
    const HCURSOR previous = current;
    current = cursor;
    if (WindowObject* w = find(active_window)) {
        os_window_set_busy(w->os, cursor == LoadCursorW(nullptr, IDC_WAIT));
    }
    return previous;
}

HWND SetFocus(HWND hwnd) {
    WindowObject* w = find_or_fail(hwnd);
    if (!w || w->kind == Kind::Dialog) {
        return nullptr;
    }
    const HWND previous = GetFocus();
    set_focus_to(w);
    return previous;
}

HWND GetFocus(void) {
    WindowObject* a = find(active_window);
    return a && find(a->focus) ? a->focus : nullptr;
}

OsWindow* user_os_window(HWND hwnd) {
    WindowObject* w = find(hwnd);
    return w ? w->os : nullptr;
}
