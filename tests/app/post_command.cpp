// A helper of the Windows build's process tests: posts WM_COMMAND with the
// given command id to the top-level window of the given title, as another
// program may (there is no key for the main window's OK command).
//
// usage: post_command TITLE ID   (exit 0 when posted, 1 when not)
#include <windows.h>

#include <stdlib.h>

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
    const WPARAM id = static_cast<WPARAM>(wcstoul(argv[2], nullptr, 10));
    return window && PostMessageW(window, WM_COMMAND, id, 0) ? 0 : 1;
}
