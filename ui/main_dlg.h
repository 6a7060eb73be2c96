// The main recorder window: a modeless dialog from template 129.
#pragma once

#include <windows.h>

#include "dialog.h"
#include "message_loop.h"
#include "resource.h"
#include "update_ui.h"

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CUpdateUI<CMainDlg>,
                 public CMessageFilter,
                 public CIdleHandler {
  public:
    enum { IDD = IDD_MAINDLG };

    static const CUpdateUIMapEntry* GetUpdateUIMap();

    BOOL PreTranslateMessage(MSG* msg) override;
    BOOL OnIdle() override;
    BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                              LRESULT& result, DWORD map_id) override;

  private:
    LRESULT OnInitDialog();
    LRESULT OnDestroy();
    // IDOK: the window goes at once, exit code 1.
    LRESULT OnOK();
    // IDCANCEL, also the close box and Escape: exit code 2.
    LRESULT OnCancel();

    // The window's icons, loaded at initialisation and freed with the window.
    HICON m_icon_big = nullptr;
    HICON m_icon_small = nullptr;
};
