// The About box: the program's name and version, a contact text, the
// credits, the features and three links to web pages. Modal, opened afresh on
// every request; it keeps no state of its own.
#pragma once

#include <windows.h>

#include "dialog.h"
#include "resource.h"

class CAboutDlg : public CDialogImpl<CAboutDlg> {
  public:
    enum { IDD = IDD_ABOUTBOX };

    BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                              LRESULT& result, DWORD map_id) override;

    // Shows the box modally, owned by the active window, and returns when the
    // user closes it; both ways the main window opens it come here.
    static void Show();

  private:
    LRESULT OnInitDialog();
};
