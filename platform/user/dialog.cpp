// Dialogs from the program's templates: dialog units to pixels, the controls
// their items make, modeless and modal dialogs, and their end.
#include <windows.h>

#include <wchar.h>

#include <string>

#include "toolkit/os_window.h"
#include "user/internal.h"
#include "user/resource_table.h"
#include "user/user.h"

// No display to show windows on (Windows has no such case).
#define ERROR_DEVICE_NOT_AVAILABLE 4319u
#define ERROR_CONTROL_ID_NOT_FOUND 1421u

using namespace user;

namespace {

int mul_div(int value, int numerator, int denominator) {
    // Rounds half away from zero, as Windows' MulDiv.
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

struct Metrics {
    int base_x;
    int base_y;
};

RECT to_pixels(const Metrics& m, int x, int y, int cx, int cy) {
    const int left = mul_div(x, m.base_x, 4);
    const int top = mul_div(y, m.base_y, 8);
    return RECT{left, top, left + mul_div(cx, m.base_x, 4), top + mul_div(cy, m.base_y, 8)};
}

HWND create_dialog(const ResourceDialog& t, HWND owner, DLGPROC procedure, LPARAM init_param) {
    if (!os_open_display()) {
        SetLastError(ERROR_DEVICE_NOT_AVAILABLE);
        return nullptr;
    }
    queue_serve_toolkit();
    // Windows asks a DPI-aware program's font at -MulDiv(points, dpi, 72)
    // pixels; the base units are its average Latin letter width and its line
    // height, so the dialog and its controls grow with the text.
    const std::string face = utf8(t.font_face ? t.font_face : L"");
    const int font_pixels = mul_div(t.font_points, os_display_dpi(), 72);
    int average = 0;
    int line = 0;
    if (!os_font_metrics(face.c_str(), font_pixels, t.font_weight, &average, &line)) {
        average = 7;
        line = 16;
    }
    const Metrics metrics{average, line};

    auto* dialog = new WindowObject;
    dialog->kind = Kind::Dialog;
    dialog->style = t.style;
    dialog->ex_style = t.ex_style;
    dialog->owner = owner;
    dialog->text = t.caption ? t.caption : L"";
    dialog->words[1] = reinterpret_cast<LONG_PTR>(procedure);
    RECT r = to_pixels(metrics, t.x, t.y, t.cx, t.cy);
    if (WindowObject* o = find(owner)) {
        offset(r, o->rect.left, o->rect.top);
    }
    dialog->rect = r;
    dialog->hwnd = queue_add_window(dialog);
    const HWND hwnd = dialog->hwnd;
    thread_dialogs.push_back(hwnd);
    dialog->os =
        os_toplevel_create(hwnd, utf8(dialog->text).c_str(), r.left, r.top, r.right - r.left,
                           r.bottom - r.top, (t.style & DS_MODALFRAME) != 0);
    if (!dialog->os) {
        queue_remove_window(hwnd);
        release(dialog);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (WindowObject* o = find(owner)) {
        os_window_set_owner(dialog->os, o->os);
    }

    for (size_t i = 0; i < t.item_count; ++i) {
        const ResourceDialogItem& item = t.items[i];
        auto* c = new WindowObject;
        c->control = control_kind(item);
        c->kind = object_kind(c->control);
        c->style = item.style;
        c->ex_style = item.ex_style;
        c->id = item.id;
        c->parent = hwnd;
        c->text = item.text ? item.text : L"";
        c->rect = to_pixels(metrics, item.x, item.y, item.cx, item.cy);
        c->enabled = (item.style & WS_DISABLED) == 0;
        c->visible = (item.style & WS_VISIBLE) != 0;
        c->hwnd = queue_add_window(c);
        dialog->children.push_back(c->hwnd);
        // A SysLink shows its text without the markup of its one link.
        std::wstring shown = c->text;
        if (c->kind == Kind::Link) {
            for (const wchar_t* tag : {L"</a>", L"<a>"}) {
                for (size_t at; (at = shown.find(tag)) != std::wstring::npos;) {
                    shown.erase(at, wcslen(tag));
                }
            }
        }
        c->os = os_control_create(dialog->os, c->hwnd, c->control, utf8(shown).c_str(),
                                  face.c_str(), font_pixels, c->rect.left, c->rect.top,
                                  c->rect.right - c->rect.left, c->rect.bottom - c->rect.top);
        if (!c->os) {
            destroy_tree(dialog);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        if (c->control == OsControl::Icon && !item.text) {
            c->image = load_icon(item.text_ordinal, c->rect.right - c->rect.left);
            os_window_set_image(c->os, icon_pixels(c->image));
        }
        os_window_set_enabled(c->os, c->enabled);
        os_window_set_visible(c->os, c->visible);
    }

    HWND first = nullptr;
    for (HWND child : dialog->children) {
        if (can_take_focus(find(child))) {
            first = child;
            break;
        }
    }
    const LRESULT focus =
        dialog_proc(dialog, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), init_param);
    dialog = find(hwnd);
    if (!dialog) {
        return nullptr; // destroyed by its own initialisation
    }
    if (focus && first) {
        set_focus_to(find(first));
    }
    if ((t.style & WS_VISIBLE) && !dialog->ended) {
        ShowWindow(hwnd, SW_SHOW);
    }
    return hwnd;
}

const ResourceDialog* find_template(LPCWSTR name) {
    if (!IS_INTRESOURCE(name)) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND); // templates are known by number only
        return nullptr;
    }
    const ResourceDialog* t =
        resource_find_dialog(static_cast<uint16_t>(reinterpret_cast<uintptr_t>(name)));
    if (!t) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    }
    return t;
}

} // namespace

HWND CreateDialogParamW(HINSTANCE /*instance*/, LPCWSTR template_name, HWND owner,
                        DLGPROC procedure, LPARAM init_param) {
    const ResourceDialog* t = find_template(template_name);
    if (!t) {
        return nullptr;
    }
    if (owner && !find(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return create_dialog(*t, owner, procedure, init_param);
}

INT_PTR DialogBoxParamW(HINSTANCE /*instance*/, LPCWSTR template_name, HWND owner,
                        DLGPROC procedure, LPARAM init_param) {
    const ResourceDialog* t = find_template(template_name);
    if (!t) {
        return -1;
    }
    return user_dialog_box(*t, owner, procedure, init_param);
}

INT_PTR user_dialog_box(const ResourceDialog& dialog_template, HWND owner, DLGPROC procedure,
                        LPARAM init_param) {
    const ResourceDialog* t = &dialog_template;
    if (owner && !find(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    // The owner takes no input while the dialog runs.
    const bool disable_owner = owner && IsWindowEnabled(owner);
    if (disable_owner) {
        EnableWindow(owner, FALSE);
    }
    const HWND dialog = create_dialog(*t, owner, procedure, init_param);
    if (!dialog) {
        if (disable_owner) {
            EnableWindow(owner, TRUE);
        }
        return -1;
    }
    WindowObject* d = find(dialog);
    if (d && !d->ended) {
        ShowWindow(dialog, SW_SHOW);
    }
    // The same queue as the main loop, until the dialog has ended (or is gone).
    user_modal_loop(dialog, [dialog] {
        const WindowObject* w = find(dialog);
        return !w || w->ended;
    });
    d = find(dialog);
    INT_PTR result = d ? d->end_result : 0;
    if (disable_owner) {
        EnableWindow(owner, TRUE);
    }
    if (d) {
        DestroyWindow(dialog);
    }
    return result;
}

BOOL EndDialog(HWND dialog, INT_PTR result) {
    WindowObject* d = find(dialog);
    if (!d || d->kind != Kind::Dialog) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    d->ended = true;
    d->end_result = result;
    ShowWindow(dialog, SW_HIDE);
    // Wakes a modal loop that waits for its next message.
    PostMessageW(dialog, WM_NULL, 0, 0);
    return TRUE;
}

HWND GetDlgItem(HWND dialog, int id) {
    WindowObject* d = find_or_fail(dialog);
    if (!d) {
        return nullptr;
    }
    for (HWND child : d->children) {
        WindowObject* c = find(child);
        if (c && c->id == id) {
            return child;
        }
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

int GetDlgCtrlID(HWND hwnd) {
    WindowObject* w = find_or_fail(hwnd);
    return w ? w->id : 0;
}
