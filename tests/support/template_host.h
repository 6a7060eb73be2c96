// The main window's dialog template with nothing behind it: its controls,
// for tests that drive one of them (the peak display) on its own.
#pragma once

#include <windows.h>

#include "dialog.h"
#include "resource.h"

class CTemplateHost : public CDialogImpl<CTemplateHost> {
  public:
    enum { IDD = IDD_MAINDLG };
    BOOL ProcessWindowMessage(HWND, UINT message, WPARAM, LPARAM, LRESULT& result, DWORD) override {
        if (message == WM_INITDIALOG) {
            result = 1;
            return TRUE;
        }
        return FALSE;
    }
};
