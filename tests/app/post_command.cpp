// A helper of the Windows build's process tests: posts WM_COMMAND with the
// given command id to the top-level window of the given title, as another
// program may (there is no key for the main window's OK command); or, with
// "endsession", ends the session for it as Windows does at log-off:
// WM_QUERYENDSESSION, then WM_ENDSESSION, each of which the window must
// answer within the 5 s Windows gives it (Wine sends neither on its own).
//
// usage: post_command TITLE ID|endsession   (exit 0 when done, 1 when not)
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

namespace {

// The time Windows waits for an answer before it offers to end the program.
constexpr UINT kAnswerMs = 5000;

int end_session(HWND window) {
    const LPARAM how = static_cast<LPARAM>(ENDSESSION_LOGOFF);
    DWORD_PTR allowed = 0;
    const DWORD began = GetTickCount();
    const bool queried = SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, how, SMTO_NORMAL,
                                             kAnswerMs, &allowed) != 0;
    const DWORD answered = GetTickCount();
    const bool ended =
        queried && allowed != 0 &&
        SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, how, SMTO_NORMAL, kAnswerMs, nullptr) != 0;
    printf("query answered %s (%s) after %lu ms; end answered %s after %lu ms\n",
           queried ? "yes" : "no", allowed != 0 ? "TRUE" : "FALSE",
           static_cast<unsigned long>(answered - began), ended ? "yes" : "no",
           static_cast<unsigned long>(GetTickCount() - answered));
    return ended ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        return 1;
    }
    HWND window = nullptr;
    for (int i = 0; i < 100 && !window; ++i) {
        window = FindWindowW(nullptr, argv[1]);
        if (!window) {
            Sleep(100);
        }
    }
    if (!window) {
        return 1;
    }
    if (wcscmp(argv[2], L"endsession") == 0) {
        return end_session(window);
    }
    const WPARAM id = static_cast<WPARAM>(wcstoul(argv[2], nullptr, 10));
    return PostMessageW(window, WM_COMMAND, id, 0) ? 0 : 1;
}
