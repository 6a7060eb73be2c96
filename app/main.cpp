// Sonaret's entry: COM and the common controls, the main window as a modeless
// dialog, and the message loop until the window posts its quit code.
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "main_dlg.h"
#include "message_loop.h"
#include "module.h"

namespace {

int Run(LPWSTR /*command_line*/, int show) {
    CMessageLoop loop;
    _Module.AddMessageLoop(&loop);

    CMainDlg main_dlg;
    if (!main_dlg.Create(nullptr)) {
        _Module.RemoveMessageLoop();
        return 0;
    }
    main_dlg.ShowWindow(show);
    const int result = loop.Run();
    // An ending session leaves the window, its files complete (WM_ENDSESSION),
    // for the system to take away; one that let the process run on gets it
    // destroyed here, before the object goes.
    if (::IsWindow(main_dlg.m_hWnd)) {
        main_dlg.DestroyWindow();
    }
    // Closed twice while a stalled disk held a file: the process ends now.
    // Each such file keeps what reached the disk; nothing waits for it any
    // longer, not even the runtime's flushing of files at its exit.
    if (main_dlg.Session().FilesBeingCompleted() > 0) {
        ::ExitProcess(static_cast<UINT>(result));
    }
    _Module.RemoveMessageLoop();
    return result;
}

} // namespace

int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, LPWSTR command_line, int show) {
    ::CoInitialize(nullptr);
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_BAR_CLASSES;
    ::InitCommonControlsEx(&controls);
    _Module.Init();

    const int result = Run(command_line, show);

    _Module.Term();
    ::CoUninitialize();
    return result;
}
