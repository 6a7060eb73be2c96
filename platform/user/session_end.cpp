// The end of the session, as Windows ends a program: its top-level windows
// get WM_QUERYENDSESSION, then WM_ENDSESSION, which they answer by completing
// what must not be lost, and then the process ends. Here the toolkit reports
// the end (a termination signal, the display gone); a window's shut-down
// reason becomes the desktop's inhibitor, so that a log-out asks first.
#include <windows.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "kernel/text.h"
#include "toolkit/os_window.h"
#include "user/internal.h"

using namespace user;

namespace {

HWND reason_given_by = nullptr; // the window whose reason holds the inhibitor

} // namespace

BOOL ShutdownBlockReasonCreate(HWND hwnd, LPCWSTR reason) {
    std::string text;
    if (!find_or_fail(hwnd)) {
        return FALSE;
    }
    if (!reason || !text_utf8_from_wide(reason, text)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    reason_given_by = hwnd;
    os_session_inhibit(text.c_str());
    return TRUE;
}

BOOL ShutdownBlockReasonDestroy(HWND hwnd) {
    if (!find_or_fail(hwnd)) {
        return FALSE;
    }
    // Another window's reason stays, as on Windows.
    if (hwnd == reason_given_by) {
        reason_given_by = nullptr;
        os_session_uninhibit();
    }
    return TRUE;
}

void user_event_session_end(LPARAM how) {
    // A second report (the display lost while the windows complete their
    // files) leaves the first to finish.
    static bool ending = false;
    if (ending) {
        return;
    }
    ending = true;
    // A signal can't be refused: the answers to the query are not asked.
    const std::vector<HWND> windows = thread_dialogs;
    for (UINT message : {WM_QUERYENDSESSION, WM_ENDSESSION}) {
        for (HWND hwnd : windows) {
            if (IsWindow(hwnd)) {
                SendMessageW(hwnd, message, message == WM_ENDSESSION ? TRUE : 0, how);
            }
        }
    }
    // With the code the windows posted for their loop, as Close would have
    // ended it; nothing else runs: a writer a stalled disk still holds up
    // keeps what reached the disk.
    MSG quit{};
    _exit(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) ? static_cast<int>(quit.wParam)
                                                                    : 1);
}
