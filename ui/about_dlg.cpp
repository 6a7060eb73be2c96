#include "about_dlg.h"

#include <commctrl.h>
#include <shellapi.h>

namespace {

constexpr WCHAR kContact[] = L"问题与建议请写信给\r\nhello@sonaret.example\r\n欢迎反馈";
constexpr WCHAR kCredits[] = L"mp3编码器使用了lame\r\n音频捕获参考了OBS\r\n图标来源于网络";
constexpr WCHAR kFeatures[] = L"特点：\r\n"
                              L"1、支持电脑内录，录制电脑播放的音频；\r\n"
                              L"2、体积小，绿色单文件；\r\n"
                              L"3、开源免费，无广告，无流氓行为；\r\n";

// The addresses the links show (sonaret.rc) are the ones they open.
constexpr WCHAR kSourceUrl[] = L"" SONARET_URL_SOURCE;
constexpr WCHAR kHomeUrl[] = L"" SONARET_URL_HOME;
constexpr WCHAR kAuthorUrl[] = L"" SONARET_URL_AUTHOR;

// Failures are not reported: the box stays open either way.
void OpenPage(const WCHAR* address) {
    ::ShellExecuteW(nullptr, L"open", address, nullptr, nullptr, SW_SHOWNORMAL);
}

} // namespace

void CAboutDlg::Show() {
    CAboutDlg dlg;
    dlg.DoModal(::GetActiveWindow(), 0);
    dlg.ReleaseStub();
}

BOOL CAboutDlg::ProcessWindowMessage(HWND /*hwnd*/, UINT message, WPARAM wparam, LPARAM lparam,
                                     LRESULT& result, DWORD /*map_id*/) {
    switch (message) {
    case WM_INITDIALOG:
        result = OnInitDialog();
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
            EndDialog(LOWORD(wparam));
            result = 0;
            return TRUE;
        }
        break;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lparam);
        // Enter on a link (NM_RETURN) does what its click does.
        if (!header || (header->code != NM_CLICK && header->code != NM_RETURN)) {
            break;
        }
        const WCHAR* address = nullptr;
        switch (header->idFrom) {
        case IDC_LINK_SOURCE:
            address = kSourceUrl;
            break;
        case IDC_LINK_AUTHOR:
            address = kAuthorUrl;
            break;
        case IDC_LINK_HOME:
            address = kHomeUrl;
            break;
        }
        if (address) {
            OpenPage(address);
            result = 0;
            return TRUE;
        }
        break;
    }
    }
    return FALSE;
}

LRESULT CAboutDlg::OnInitDialog() {
    CenterWindow(::GetParent(m_hWnd));
    ::SetWindowTextW(GetDlgItem(IDC_CONTACT), kContact);
    ::SetWindowTextW(GetDlgItem(IDC_CREDITS), kCredits);
    ::SetWindowTextW(GetDlgItem(IDC_FEATURES), kFeatures);
    return 1; // the focus goes to the first tab stop, OK
}
