// Inside the user area: running a modal dialog from a template made at run
// time (the message box), and the owner's toolkit window for modal helpers.
#pragma once

#include <windows.h>

#include "toolkit/os_window.h"
#include "user/resource_table.h"

INT_PTR user_dialog_box(const ResourceDialog& dialog_template, HWND owner, DLGPROC procedure,
                        LPARAM init_param);
// The toolkit window of a dialog of this thread, or null.
OsWindow* user_os_window(HWND hwnd);
// Runs the thread's messages until `*done` is set, as every modal wait does;
// false when the quit message came first (it is posted again).
bool user_modal_wait(const bool* done);
