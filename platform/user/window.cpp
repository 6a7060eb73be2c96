// Dialogs from the program's templates, their controls, the dialog manager
// and the window queries. Windows live on the thread that created them; their
// pictures are the toolkit's (os_window.h), their state is here.
#include <windows.h>
#include <commctrl.h>

#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "kernel/text.h"
#include "toolkit/os_window.h"
#include "user/internal.h"
#include "user/resource_table.h"
#include "user/user.h"

// No display to show windows on (Windows has no such case).
#define ERROR_DEVICE_NOT_AVAILABLE 4319u
#define ERROR_INVALID_INDEX 1413u
#define ERROR_CONTROL_ID_NOT_FOUND 1421u

namespace {

enum class Kind { Dialog, Button, Static, Link };

struct WindowObject {
    HWND hwnd = nullptr;
    Kind kind = Kind::Dialog;
    OsControl control = OsControl::PushButton;
    DWORD style = 0;
    DWORD ex_style = 0;
    int id = 0;
    HWND parent = nullptr;      // controls: their dialog
    HWND owner = nullptr;       // dialogs: the window they belong to
    std::vector<HWND> children; // in template order, which is the tab order
    std::wstring text;
    std::wstring note;
    RECT rect{};         // dialogs: on the screen; controls: in the dialog's client area
    LONG_PTR words[3]{}; // DWLP_MSGRESULT, DWLP_DLGPROC, DWLP_USER
    bool enabled = true;
    bool visible = false;
    bool destroying = false;
    HANDLE image = nullptr; // a button's or icon static's picture
    HICON icons[2]{};       // ICON_SMALL, ICON_BIG of a dialog
    HWND focus = nullptr;   // a dialog's control that has (or last had) the focus
    bool ended = false;     // EndDialog was called
    INT_PTR end_result = 0;
    OsWindow* os = nullptr;
};

// The icons that LoadImageW hands out: pixels at the size asked for.
struct IconObject {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
};

thread_local HWND active_window = nullptr;
thread_local std::vector<HWND> thread_dialogs; // so that an owner can take its dialogs along
thread_local bool shift_down = false;

void offset(RECT& r, LONG dx, LONG dy) {
    r.left += dx;
    r.right += dx;
    r.top += dy;
    r.bottom += dy;
}

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

int mul_div(int value, int numerator, int denominator) {
    // Rounds half away from zero, as Windows' MulDiv.
    const long long product = static_cast<long long>(value) * numerator;
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator
                                         : (product - half) / denominator);
}

bool is_ancestor_or_self(HWND dialog, HWND hwnd) {
    for (WindowObject* w = find(hwnd); w; w = find(w->parent)) {
        if (w->hwnd == dialog) {
            return true;
        }
    }
    return false;
}

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

// ---- icons ----

// The image of `size` in an .ico file, as 32-bit pixels; the largest one
// scaled when none fits exactly.
bool decode_icon(const ResourceIcon& icon, int size, IconObject& out) {
    const unsigned char* d = icon.data;
    auto u16 = [&](size_t at) { return static_cast<uint32_t>(d[at] | d[at + 1] << 8); };
    auto u32 = [&](size_t at) { return u16(at) | u16(at + 2) << 16; };
    if (icon.size < 6 || u16(0) != 0 || u16(2) != 1) {
        return false;
    }
    const uint32_t count = u16(4);
    int best = -1;
    int best_size = 0;
    for (uint32_t i = 0; i < count && 6 + 16 * (i + 1) <= icon.size; ++i) {
        const int s = d[6 + 16 * i] ? d[6 + 16 * i] : 256;
        if (best < 0 || (s == size) || (best_size != size && s > best_size)) {
            best = static_cast<int>(i);
            best_size = s;
        }
        if (s == size) {
            break;
        }
    }
    if (best < 0) {
        return false;
    }
    const size_t entry = 6 + 16 * static_cast<size_t>(best);
    const size_t length = u32(entry + 8);
    const size_t offset = u32(entry + 12);
    if (offset + 40 > icon.size || length > icon.size - offset) {
        return false;
    }
    const int width = static_cast<int>(u32(offset + 4));
    const int height = static_cast<int>(u32(offset + 8)) / 2;
    if (u16(offset + 14) != 32 || width <= 0 || height <= 0 ||
        40 + static_cast<size_t>(width) * height * 4 > length) {
        return false; // only the 32-bit images that our icons hold
    }
    out.width = size;
    out.height = size;
    out.pixels.assign(static_cast<size_t>(size) * size, 0);
    for (int y = 0; y < size; ++y) {
        for (int x = 0; x < size; ++x) {
            const int sx = x * width / size;
            const int sy = y * height / size;
            // Rows are stored bottom-up.
            out.pixels[static_cast<size_t>(y) * size + x] =
                u32(offset + 40 + (static_cast<size_t>(height - 1 - sy) * width + sx) * 4);
        }
    }
    return true;
}

OsPixels icon_pixels(HANDLE handle) {
    auto* icon = static_cast<IconObject*>(handle);
    if (!icon) {
        return OsPixels{nullptr, 0, 0};
    }
    return OsPixels{icon->pixels.data(), icon->width, icon->height};
}

HANDLE load_icon(uint16_t id, int width) {
    const ResourceIcon* resource = resource_find_icon(id);
    if (!resource) {
        SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
        return nullptr;
    }
    auto icon = std::make_unique<IconObject>();
    if (!decode_icon(*resource, width, *icon)) {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    return icon.release();
}

// ---- window procedures ----

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

LRESULT control_proc(WindowObject* w, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
    case WM_SETTEXT:
    case WM_GETTEXT:
    case WM_GETTEXTLENGTH:
        return text_message(w, message, wparam, lparam);
    case BCM_SETNOTE:
        if (w->control != OsControl::CommandLink) {
            return FALSE;
        }
        w->note =
            reinterpret_cast<const WCHAR*>(lparam) ? reinterpret_cast<const WCHAR*>(lparam) : L"";
        os_window_set_note(w->os, utf8(w->note).c_str());
        return TRUE;
    case BM_SETIMAGE: {
        if (w->kind != Kind::Button || wparam != IMAGE_ICON) {
            return 0;
        }
        HANDLE previous = w->image;
        w->image = reinterpret_cast<HANDLE>(lparam);
        os_window_set_image(w->os, icon_pixels(w->image));
        return reinterpret_cast<LRESULT>(previous);
    }
    case BM_GETIMAGE:
        return reinterpret_cast<LRESULT>(w->image);
    case BM_CLICK:
        // What a click on the control does, whichever way it came.
        if (!w->enabled) {
            return 0;
        }
        if (w->kind == Kind::Button) {
            SendMessageW(w->parent, WM_COMMAND, MAKEWPARAM(w->id, BN_CLICKED),
                         reinterpret_cast<LPARAM>(w->hwnd));
        } else if (w->kind == Kind::Link) {
            NMHDR header{w->hwnd, static_cast<UINT_PTR>(w->id), NM_CLICK};
            SendMessageW(w->parent, WM_NOTIFY, static_cast<WPARAM>(w->id),
                         reinterpret_cast<LPARAM>(&header));
        }
        return 0;
    }
    return 0;
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

LRESULT window_proc(WindowObject* w, UINT message, WPARAM wparam, LPARAM lparam) {
    return w->kind == Kind::Dialog ? dialog_proc(w, message, wparam, lparam)
                                   : control_proc(w, message, wparam, lparam);
}

// ---- creation and destruction ----

OsControl control_kind(const ResourceDialogItem& item) {
    const std::wstring cls = item.class_name;
    if (cls == L"Button") {
        switch (item.style & BS_TYPEMASK) {
        case BS_DEFPUSHBUTTON:
            return OsControl::DefaultPushButton;
        case BS_GROUPBOX:
            return OsControl::GroupBox;
        case BS_COMMANDLINK:
        case BS_DEFCOMMANDLINK:
            return OsControl::CommandLink;
        default:
            return OsControl::PushButton;
        }
    }
    if (cls == L"SysLink") {
        return OsControl::Link;
    }
    switch (item.style & SS_TYPEMASK) {
    case SS_CENTER:
        return OsControl::TextCentre;
    case SS_ICON:
        return OsControl::Icon;
    case SS_BLACKRECT:
        return OsControl::BlackRect;
    default:
        return OsControl::TextLeft;
    }
}

Kind object_kind(OsControl control) {
    switch (control) {
    case OsControl::PushButton:
    case OsControl::DefaultPushButton:
    case OsControl::CommandLink:
    case OsControl::GroupBox:
        return Kind::Button;
    case OsControl::Link:
        return Kind::Link;
    default:
        return Kind::Static;
    }
}

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
    // Windows asks for the font at -MulDiv(points, 96, 72) pixels; the base
    // units are its average Latin letter width and its line height.
    const std::string face = utf8(t.font_face ? t.font_face : L"");
    const int font_pixels = mul_div(t.font_points, 96, 72);
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

// ---- events from the toolkit ----

void user_event_click(HWND control) {
    queue_post_input(control, BM_CLICK, 0, 0);
}

void user_event_close(HWND toplevel) {
    queue_post_input(toplevel, WM_SYSCOMMAND, SC_CLOSE, 0);
}

void user_event_key(HWND toplevel, int virtual_key, bool shift) {
    shift_down = shift;
    WindowObject* dialog = find(toplevel);
    if (!dialog) {
        return;
    }
    const HWND target = find(dialog->focus) ? dialog->focus : toplevel;
    queue_post_input(target, WM_KEYDOWN, static_cast<WPARAM>(virtual_key), 1);
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

// ---- dialogs ----

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
    // The same queue as the main loop: whatever other windows of the thread
    // are posted keeps being dispatched while the dialog is open.
    MSG msg;
    while ((d = find(dialog)) != nullptr && !d->ended) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) {
            continue;
        }
        if (!got) {
            // The quit message ends the dialog and goes on to the outer loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            break;
        }
        if (!IsDialogMessageW(dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
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
            WindowObject* f = find(d->focus);
            if (f && f->kind != Kind::Static) {
                SendMessageW(f->hwnd, BM_CLICK, 0, 0);
            }
            return TRUE;
        }
        }
    }
    DispatchMessageW(msg);
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

short GetKeyState(int virtual_key) {
    // Only Shift is tracked: the dialog manager's Shift+Tab needs it.
    return virtual_key == VK_SHIFT && shift_down ? static_cast<short>(0x8000) : 0;
}

// ---- rectangles and monitors ----

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
    case SM_CXICON:
    case SM_CYICON:
        return 32;
    case SM_CXSMICON:
    case SM_CYSMICON:
        return 16;
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
    if (!point || !os_open_display() || !os_cursor_position(point)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// ---- icons ----

HANDLE LoadImageW(HINSTANCE /*instance*/, LPCWSTR name, UINT type, int width, int height,
                  UINT /*flags*/) {
    if (type != IMAGE_ICON || !IS_INTRESOURCE(name)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND); // only icons, by number
        return nullptr;
    }
    if (width <= 0) {
        width = 32;
    }
    if (height > 0 && height != width) {
        SetLastError(ERROR_INVALID_PARAMETER); // our icons are square
        return nullptr;
    }
    return load_icon(static_cast<uint16_t>(reinterpret_cast<uintptr_t>(name)), width);
}

BOOL DestroyIcon(HICON icon) {
    if (!icon) {
        SetLastError(ERROR_INVALID_ICON_HANDLE);
        return FALSE;
    }
    delete reinterpret_cast<IconObject*>(icon);
    return TRUE;
}

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) {
    // The controls are always there; only the argument is checked, as Windows does.
    return init && init->dwSize == sizeof(INITCOMMONCONTROLSEX) ? TRUE : FALSE;
}

OsWindow* user_os_window(HWND hwnd) {
    WindowObject* w = find(hwnd);
    return w ? w->os : nullptr;
}

bool user_modal_wait(const bool* done) {
    MSG msg;
    while (!*done) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) {
            continue;
        }
        if (!got) {
            PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        // Keyboard navigation still works in the dialog that holds the focus.
        WindowObject* active = find(active_window);
        if (!active || !IsDialogMessageW(active_window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}
