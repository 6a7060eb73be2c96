// What the other areas of platform/ ask of the user area: the owner's toolkit
// window for modal helpers, and the modal loop they wait in.
#pragma once

#include <windows.h>

#include <functional>

#include "toolkit/os_window.h"

// The toolkit window of a dialog of this thread, or null.
OsWindow* user_os_window(HWND hwnd);
// Runs the thread's messages until `done()` says the wait is over, as every
// modal wait does (a dialog box, a message box, a popup menu, the folder
// browser). Keys go through the dialog manager of `dialog`, or of the active
// dialog when it is null. false when the quit message came first (it is
// posted again).
bool user_modal_loop(HWND dialog, const std::function<bool()>& done);
