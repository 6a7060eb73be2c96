// Message boxes: a dialog made at run time from the text, modal like
// DialogBoxParamW, so the thread's queue keeps being dispatched while it is
// open.
#include <windows.h>

#include <stdint.h>

#include <algorithm>
#include <string>

#include "user/internal.h"
#include "user/resource_table.h"

namespace {

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
