// The modal loop: every modal wait (a dialog box, a message box, a popup menu,
// the folder browser) runs the same queue as the main loop, so whatever other
// windows of the thread are posted keeps being dispatched while it is open.
#include <windows.h>

#include <functional>

#include "user/internal.h"
#include "user/user.h"

bool user_modal_loop(HWND dialog, const std::function<bool()>& done) {
    MSG msg;
    while (!done()) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == -1) {
            continue;
        }
        if (!got) {
            // The quit message ends the wait and goes on to the outer loop.
            PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        // Keyboard navigation still works in the modal dialog, or else in the
        // dialog that holds the focus.
        if (!IsDialogMessageW(dialog ? dialog : user::active_window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return true;
}
