// What the user area's files share: the handle table of user/queue.cpp and
// the window objects that dialogs and their controls keep their state in.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "toolkit/os_window.h"
#include "user/resource_table.h"

// A new handle for `object` (null for a message-only window), owned by the
// calling thread.
HWND queue_add_window(void* object);
// The object of a window of the calling thread; null for other threads'
// windows, message-only windows and handles that are not windows.
void* queue_window_object(HWND hwnd);
// Forgets the handle and drops its queued messages; false when it is not a
// window of the calling thread (the last error says why).
bool queue_remove_window(HWND hwnd);
// From now on the calling thread's waits also serve the window toolkit.
void queue_serve_toolkit();
// Posts without the quota, for input the toolkit reports.
void queue_post_input(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);

// Runs a modal dialog from a template, the program's or one made at run time
// (the message box).
INT_PTR user_dialog_box(const ResourceDialog& dialog_template, HWND owner, DLGPROC procedure,
                        LPARAM init_param);

namespace user {

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

// The thread's active dialog (GetActiveWindow) and its dialogs (user/window.cpp).
extern thread_local HWND active_window;
extern thread_local std::vector<HWND> thread_dialogs;

// The window objects (user/window.cpp).
WindowObject* find(HWND hwnd);
// As find, with ERROR_INVALID_WINDOW_HANDLE when there is none.
WindowObject* find_or_fail(HWND hwnd);
std::string utf8(const std::wstring& text);
// WM_SETTEXT, WM_GETTEXT and WM_GETTEXTLENGTH, for dialogs and controls alike.
LRESULT text_message(WindowObject* w, UINT message, WPARAM wparam, LPARAM lparam);
void release(WindowObject* w);
// WM_DESTROY, the children, WM_NCDESTROY, then the object and its handle.
void destroy_tree(WindowObject* w);

// Rectangles (user/geometry.cpp).
void offset(RECT& r, LONG dx, LONG dy);

// The focus among a dialog's controls and a dialog's procedure with the
// dialog manager's default handling around it (user/dialog_manager.cpp).
bool can_take_focus(const WindowObject* w);
void set_focus_to(WindowObject* control);
LRESULT dialog_proc(WindowObject* w, UINT message, WPARAM wparam, LPARAM lparam);

// Controls (user/control.cpp): what a template's item makes, and their procedure.
OsControl control_kind(const ResourceDialogItem& item);
Kind object_kind(OsControl control);
LRESULT control_proc(WindowObject* w, UINT message, WPARAM wparam, LPARAM lparam);

// Icons of the program's resources (user/icon.cpp).
OsPixels icon_pixels(HANDLE handle);
HANDLE load_icon(uint16_t id, int width);

} // namespace user
