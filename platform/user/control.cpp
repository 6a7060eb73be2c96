// The controls of dialogs: the kind of control a template's item makes, the
// procedure of buttons, statics and links, and the common controls' start.
#include <windows.h>
#include <commctrl.h>

#include <string>

#include "toolkit/os_window.h"
#include "user/internal.h"
#include "user/resource_table.h"

using namespace user;

namespace user {

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

} // namespace user

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init) {
    // The controls are always there; only the argument is checked, as Windows does.
    return init && init->dwSize == sizeof(INITCOMMONCONTROLSEX) ? TRUE : FALSE;
}
