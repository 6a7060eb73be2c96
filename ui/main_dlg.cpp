#include "main_dlg.h"

#include "module.h"

const CUpdateUIMapEntry* CMainDlg::GetUpdateUIMap() {
    static const CUpdateUIMapEntry map[] = {{CUpdateUIBase::kMapEnd, 0}};
    return map;
}

BOOL CMainDlg::PreTranslateMessage(MSG* msg) {
    return ::IsDialogMessageW(m_hWnd, msg);
}

BOOL CMainDlg::OnIdle() {
    UIUpdateChildWindows();
    return FALSE;
}

BOOL CMainDlg::ProcessWindowMessage(HWND /*hwnd*/, UINT message, WPARAM wparam, LPARAM /*lparam*/,
                                    LRESULT& result, DWORD /*map_id*/) {
    switch (message) {
    case WM_DESTROY:
        result = OnDestroy();
        return TRUE;
    case WM_INITDIALOG:
        result = OnInitDialog();
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDOK:
            result = OnOK();
            return TRUE;
        case IDCANCEL:
            result = OnCancel();
            return TRUE;
        }
        break;
    }
    return FALSE;
}

LRESULT CMainDlg::OnInitDialog() {
    CenterWindow();
    HINSTANCE instance = _BaseModule.GetResourceInstance();
    m_icon_big = static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME),
                                                 IMAGE_ICON, ::GetSystemMetrics(SM_CXICON),
                                                 ::GetSystemMetrics(SM_CYICON), LR_DEFAULTCOLOR));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_icon_big));
    m_icon_small = static_cast<HICON>(::LoadImageW(
        instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
        ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    ::SendMessageW(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_icon_small));

    CMessageLoop* loop = _Module.GetMessageLoop();
    if (loop) {
        loop->AddMessageFilter(this);
        loop->AddIdleHandler(this);
    }
    UIAddChildWindowContainer(m_hWnd);
    return 1;
}

LRESULT CMainDlg::OnDestroy() {
    CMessageLoop* loop = _Module.GetMessageLoop();
    if (loop) {
        loop->RemoveMessageFilter(this);
        loop->RemoveIdleHandler(this);
    }
    for (HICON* icon : {&m_icon_big, &m_icon_small}) {
        if (*icon) {
            ::DestroyIcon(*icon);
            *icon = nullptr;
        }
    }
    return 0;
}

LRESULT CMainDlg::OnOK() {
    DestroyWindow();
    ::PostQuitMessage(IDOK);
    return 0;
}

LRESULT CMainDlg::OnCancel() {
    // Recording and capture clean-up come first here once the window has them.
    DestroyWindow();
    ::PostQuitMessage(IDCANCEL);
    return 0;
}
