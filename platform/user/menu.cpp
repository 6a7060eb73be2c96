// Popup menus: a modal wait that keeps dispatching the thread's queue, so
// posted messages go on being handled while the menu is open.
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "kernel/text.h"
#include "toolkit/os_window.h"
#include "user/internal.h"
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
    // The menu is placed on its owner's client area, where the point is.
    user::WindowObject* top = user::find(owner);
    if (top->kind != user::Kind::Dialog) {
        top = user::find(top->parent);
    }
    MenuWait wait;
    os_popup_menu(top->os, items.data(), static_cast<int>(items.size()), x - top->rect.left,
                  y - top->rect.top, menu_closed, &wait);
    if (!user_modal_loop(nullptr, [&wait] { return wait.done; })) {
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
