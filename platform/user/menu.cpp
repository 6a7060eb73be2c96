// Popup menus and message boxes: modal waits that keep dispatching the
// thread's queue, so posted messages go on being handled while they are open.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "kernel/text.h"
#include "toolkit/os_window.h"
#include "user/user.h"

namespace {

struct MenuItem {
    UINT flags;
    UINT id;
    std::string text;
};

struct Menu {
    std::vector<MenuItem> items;
};

// Menu handles are their objects; only live ones are accepted.
thread_local std::vector<Menu*> live_menus;

Menu* find_menu(HMENU handle) {
    auto* menu = reinterpret_cast<Menu*>(handle);
    if (std::find(live_menus.begin(), live_menus.end(), menu) == live_menus.end()) {
        SetLastError(ERROR_INVALID_MENU_HANDLE);
        return nullptr;
    }
    return menu;
}

struct MenuWait {
    bool done = false;
    UINT chosen = 0;
};

void menu_closed(void* context, UINT chosen) {
    auto* wait = static_cast<MenuWait*>(context);
    wait->chosen = chosen;
    wait->done = true;
    PostMessageW(nullptr, WM_NULL, 0, 0); // wakes the wait below
}

INT_PTR CALLBACK message_box_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    if (message == WM_INITDIALOG) {
        return TRUE;
    }
    if (message == WM_COMMAND && (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL)) {
        EndDialog(dialog, IDOK);
        return TRUE;
    }
    return FALSE;
}

} // namespace

HMENU CreatePopupMenu(void) {
    auto* menu = new (std::nothrow) Menu;
    if (!menu) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    live_menus.push_back(menu);
    return reinterpret_cast<HMENU>(menu);
}

BOOL AppendMenuW(HMENU handle, UINT flags, UINT_PTR id, LPCWSTR text) {
    Menu* menu = find_menu(handle);
    if (!menu) {
        return FALSE;
    }
    MenuItem item{flags, static_cast<UINT>(id), {}};
    if (!(flags & MF_SEPARATOR) && (!text || !text_utf8_from_wide(text, item.text))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    menu->items.push_back(std::move(item));
    return TRUE;
}

BOOL DestroyMenu(HMENU handle) {
    Menu* menu = find_menu(handle);
    if (!menu) {
        return FALSE;
    }
    std::erase(live_menus, menu);
    delete menu;
    return TRUE;
}

BOOL TrackPopupMenu(HMENU handle, UINT flags, int x, int y, int /*reserved*/, HWND owner,
                    const RECT* /*reserved_rect*/) {
    Menu* menu = find_menu(handle);
    if (!menu) {
        return FALSE;
    }
    if (!IsWindow(owner)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (!os_open_display()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<OsMenuItem> items;
    for (const MenuItem& item : menu->items) {
        items.push_back(OsMenuItem{item.id, item.text.c_str(), (item.flags & MF_SEPARATOR) != 0,
                                   (item.flags & MF_GRAYED) != 0});
    }
    MenuWait wait;
    os_popup_menu(items.data(), static_cast<int>(items.size()), x, y, menu_closed, &wait);
    if (!user_modal_wait(&wait.done)) {
        return FALSE;
    }
    if (flags & TPM_RETURNCMD) {
        return static_cast<BOOL>(wait.chosen);
    }
    if (wait.chosen && !(flags & TPM_NONOTIFY)) {
        PostMessageW(owner, WM_COMMAND, MAKEWPARAM(wait.chosen, 0), 0);
    }
    return TRUE;
}

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT /*type*/) {
    // Only the OK button, which is all the program asks for: a small dialog
    // of the text above an OK button, sized by the text's lines.
    const std::wstring body = text ? text : L"";
    const int lines = 1 + static_cast<int>(std::count(body.begin(), body.end(), L'\n'));
    size_t longest = 0;
    for (size_t start = 0, end; start <= body.size(); start = end + 1) {
        end = body.find(L'\n', start);
        if (end == std::wstring::npos) {
            end = body.size();
        }
        longest = std::max(longest, end - start);
    }
    const int16_t width = static_cast<int16_t>(std::clamp<size_t>(longest * 8 + 24, 120, 400));
    const int16_t text_height = static_cast<int16_t>(std::min(lines * 10, 300));
    const ResourceDialogItem items[] = {
        {WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 12, 10, static_cast<int16_t>(width - 24), text_height,
         -1, L"Static", body.c_str(), 0},
        {WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 0, static_cast<int16_t>(width - 62),
         static_cast<int16_t>(text_height + 18), 50, 14, IDOK, L"Button", L"OK", 0},
    };
    const ResourceDialog box{0,
                             WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME,
                             0,
                             0,
                             0,
                             width,
                             static_cast<int16_t>(text_height + 40),
                             caption ? caption : L"Error",
                             9,
                             400,
                             0,
                             1,
                             L"Sans",
                             items,
                             2};
    const INT_PTR result = user_dialog_box(box, owner, message_box_proc, 0);
    return result < 0 ? 0 : IDOK;
}
