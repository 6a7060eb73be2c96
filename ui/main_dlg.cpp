#include "main_dlg.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include "about_dlg.h"
#include "module.h"
#include "window_messages.h"

namespace {

struct BitRate {
    int32_t bits_per_second;
    const WCHAR* text;
};

constexpr BitRate kBitRates[] = {
    {128000, L"128K bps"},
    {192000, L"192K bps"},
    {224000, L"224K bps"},
    {320000, L"320K bps"},
};

struct SessionErrorText {
    const WCHAR* text;
    const WCHAR* caption;
};

// The message box's text and caption for `error`; both empty for None.
SessionErrorText session_error_text(SessionError error) {
    switch (error) {
    case SessionError::Write:
        return {L"文件写入出错", L"录音出错"};
    case SessionError::EncoderOpen:
        return {L"编码器打开出错", L"录音出错"};
    case SessionError::PathTooLong:
        return {L"文件路径过长\n请选择路径较短的文件夹。", L"录音出错"};
    case SessionError::Capture:
        return {L"音频捕获出错", L""};
    case SessionError::MicrophoneDenied:
        return {
            L"音频捕获出错\n请在 Windows 的“设置 › 隐私 › 麦克风”中，允许桌面应用访问你的麦克风。",
            L""};
    case SessionError::None:
        break;
    }
    return {L"", L""};
}

// How long the files may take to complete when the session ends: Windows
// gives a program about 5 s to answer WM_ENDSESSION before it ends it, and
// the capture's stop and Stop's wait come out of that too.
constexpr DWORD kSessionEndMs = 4000;

} // namespace

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

BOOL CMainDlg::ProcessWindowMessage(HWND /*hwnd*/, UINT message, WPARAM wparam, LPARAM lparam,
                                    LRESULT& result, DWORD /*map_id*/) {
    switch (message) {
    case WM_DESTROY:
        result = OnDestroy();
        return TRUE;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lparam);
        // Enter on the link (NM_RETURN) does what its click does.
        if (header && header->idFrom == IDC_ABOUT_LINK &&
            (header->code == NM_CLICK || header->code == NM_RETURN)) {
            result = OnAbout();
            return TRUE;
        }
        break;
    }
    case WM_INITDIALOG:
        result = OnInitDialog();
        return TRUE;
    case WM_QUERYENDSESSION:
        // Never vetoed: the files are completed at WM_ENDSESSION.
        KeepShutdownReason();
        result = TRUE;
        return TRUE;
    case WM_ENDSESSION:
        result = wparam != FALSE ? OnEndSession() : 0;
        return TRUE;
    case WM_COMMAND:
        return OnCommand(wparam, result);
    case WM_SETCURSOR:
        // Closed, and waiting for a file to be completed: busy all over.
        if (m_closing_code != 0) {
            ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
            result = TRUE;
            return TRUE;
        }
        break;
    case WM_LEVEL_UPDATE:
        result = OnLevelUpdate();
        return TRUE;
    }
    // What the session's threads post, and its timers.
    SessionError error = SessionError::None;
    if (!m_session.OnMessage(message, wparam, lparam, &error)) {
        return FALSE;
    }
    result = UpdateAndReport(error);
    if (message == WM_RECORD_FINISHED) {
        CloseWhenDone();
    }
    return TRUE;
}

BOOL CMainDlg::OnCommand(WPARAM wparam, LRESULT& result) {
    switch (LOWORD(wparam)) {
    case ID_APP_ABOUT:
        result = OnAbout();
        return TRUE;
    case IDOK:
    case IDCANCEL:
        result = OnClose(LOWORD(wparam));
        return TRUE;
    }
    if (HIWORD(wparam) != BN_CLICKED) {
        return FALSE;
    }
    switch (LOWORD(wparam)) {
    case IDC_START:
        result = UpdateAndReport(m_session.Start());
        return TRUE;
    case IDC_STOP:
        // The file is completed in the background; a failure is told when
        // the writer thread says it is done.
        m_session.Stop();
        result = UpdateAndReport(SessionError::None);
        return TRUE;
    case IDC_FOLDER:
        result = OnOpenFolder();
        return TRUE;
    case IDC_CHANGE_FOLDER:
        result = OnChooseFolder();
        return TRUE;
    case IDC_DEVICE:
        result = OnDeviceMenu();
        return TRUE;
    case IDC_BITRATE:
        result = OnBitRateMenu();
        return TRUE;
    }
    return FALSE;
}

LRESULT CMainDlg::OnDestroy() {
    CMessageLoop* loop = _Module.GetMessageLoop();
    if (loop) {
        loop->RemoveMessageFilter(this);
        loop->RemoveIdleHandler(this);
    }
    // Close and OK leave nothing running; a window destroyed any other way
    // still completes its recording and stops the capture thread, which
    // would otherwise go on calling into this object. Nobody is left to
    // hear of the files: they are completed here.
    m_session.Close();
    m_session.CompleteFilesNow(m_quit_now ? 0 : INFINITE);
    KeepShutdownReason();
    m_display.Destroy();
    for (int i = 0; i < m_icon_count; ++i) {
        ::DestroyIcon(m_icons[i]);
        m_icons[i] = nullptr;
    }
    m_icon_count = 0;
    return 0;
}

void CMainDlg::SetItemEnabled(int id, bool enable) {
    HWND control = GetDlgItem(id);
    if ((::IsWindowEnabled(control) != FALSE) == enable) {
        return; // as it is
    }
    if (enable) {
        ::EnableWindow(control, TRUE);
        return;
    }
    if (::GetFocus() == control) {
        for (int heir : {IDC_STOP, IDC_START, IDC_DEVICE}) {
            if (heir != id && ::IsWindowEnabled(GetDlgItem(heir))) {
                ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(heir)),
                               TRUE);
                break;
            }
        }
    }
    ::EnableWindow(control, FALSE);
}

void CMainDlg::SetItemText(int id, const WCHAR* text) {
    ::SetWindowTextW(GetDlgItem(id), text);
}

void CMainDlg::UpdateControls() {
    if (m_closing_code != 0) {
        return; // everything stays disabled while the window waits to close
    }
    m_changes_shown = m_session.Changes();
    const bool recording = m_session.Recording();
    const bool enabled[3] = {
        recording, !recording && m_session.Capturing() && m_session.Folder()[0] != 0, !recording};
    const int ids[3] = {IDC_STOP, IDC_START, IDC_DEVICE};
    // What becomes enabled first, so that a control losing the focus has
    // somewhere to hand it.
    for (int i = 0; i < 3; ++i) {
        if (enabled[i]) {
            SetItemEnabled(ids[i], true);
        }
    }
    for (int i = 0; i < 3; ++i) {
        if (!enabled[i]) {
            SetItemEnabled(ids[i], false);
        }
    }
    // The name may have changed with the device's description.
    if (m_session.Selection().display_text[0] != 0) {
        SetItemText(IDC_DEVICE, m_session.Selection().display_text);
    }
    WCHAR text[32];
    wsprintfW(text, L"%dK bps", static_cast<int>(m_session.BitRateUsed() / 1000));
    SetItemText(IDC_BITRATE, text);
    // A recording ended with its capture: no update will come to take the
    // notice off the trace, so the window draws it once more without.
    if (m_notice_drawn && !recording && !m_session.Capturing()) {
        m_display.Repaint();
        m_notice_drawn = false;
    }
}

LRESULT CMainDlg::UpdateAndReport(SessionError error) {
    // Only what changed is shown again: a text set again is laid out and
    // drawn again, and the session's timers come every quarter second while
    // a lost capture is waited for, every second while there is no server.
    if (m_session.Changes() != m_changes_shown) {
        UpdateControls();
    }
    KeepShutdownReason();
    Report(error);
    return 0;
}

void CMainDlg::Report(SessionError error) {
    if (error == SessionError::None) {
        return;
    }
    const SessionErrorText shown = session_error_text(error);
    ++m_boxes_open;
    ::MessageBoxW(m_hWnd, shown.text, shown.caption, MB_OK);
    --m_boxes_open;
}

void CMainDlg::KeepShutdownReason() {
    const bool busy = m_session.Recording() || m_session.FilesBeingCompleted() > 0;
    if (busy == m_shutdown_reason) {
        return;
    }
    m_shutdown_reason = busy;
    if (busy) {
        ::ShutdownBlockReasonCreate(m_hWnd, L"正在保存录音");
    } else {
        ::ShutdownBlockReasonDestroy(m_hWnd);
    }
}

LRESULT CMainDlg::OnEndSession() {
    m_session.Close();
    m_session.CompleteFilesNow(kSessionEndMs);
    KeepShutdownReason();
    // Closed, as far as the window goes: nothing is enabled again, and the
    // loop ends with Close's code (or OK's, when that came first).
    if (m_closing_code == 0) {
        m_closing_code = IDCANCEL;
    }
    ::PostQuitMessage(m_closing_code);
    return 0;
}

void CMainDlg::CloseWhenDone() {
    if (m_closing_code == 0 || m_session.FilesBeingCompleted() > 0 || m_boxes_open > 0) {
        return;
    }
    const int exit_code = m_closing_code;
    DestroyWindow();
    ::PostQuitMessage(exit_code);
}

void CMainDlg::SetFolder(const WCHAR* folder) {
    m_session.SetFolder(folder);
    SetItemText(IDC_FOLDER, m_session.Folder());
    UpdateControls();
}

void CMainDlg::SetItemNote(int id, const WCHAR* note) {
    ::SendMessageW(GetDlgItem(id), BCM_SETNOTE, 0, reinterpret_cast<LPARAM>(note));
}

void CMainDlg::SetItemIcon(int id, int icon_id) {
    // The buttons draw the image at its own size: the small icon fits the
    // lowest of them (13 dialog units).
    HICON icon = static_cast<HICON>(::LoadImageW(
        _BaseModule.GetResourceInstance(), MAKEINTRESOURCEW(icon_id), IMAGE_ICON,
        ::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    if (!icon) {
        return;
    }
    m_icons[m_icon_count++] = icon;
    ::SendMessageW(GetDlgItem(id), BM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon));
}

LRESULT CMainDlg::OnInitDialog() {
    CenterWindow();
    HINSTANCE instance = _BaseModule.GetResourceInstance();
    const int sizes[2][2] = {{::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON)},
                             {::GetSystemMetrics(SM_CXSMICON), ::GetSystemMetrics(SM_CYSMICON)}};
    const WPARAM kinds[2] = {ICON_BIG, ICON_SMALL};
    for (int i = 0; i < 2; ++i) {
        HICON icon =
            static_cast<HICON>(::LoadImageW(instance, MAKEINTRESOURCEW(IDR_MAINFRAME), IMAGE_ICON,
                                            sizes[i][0], sizes[i][1], LR_DEFAULTCOLOR));
        if (icon) {
            m_icons[m_icon_count++] = icon;
        }
        ::SendMessageW(m_hWnd, WM_SETICON, kinds[i], reinterpret_cast<LPARAM>(icon));
    }

    CMessageLoop* loop = _Module.GetMessageLoop();
    if (loop) {
        loop->AddMessageFilter(this);
        loop->AddIdleHandler(this);
    }
    UIAddChildWindowContainer(m_hWnd);

    SetItemEnabled(IDC_STOP, false);
    SetItemIcon(IDC_DEVICE, IDI_DEVICE);

    // The music folder, else the home (profile) folder; failing both, no
    // folder at all, and Start waits for one to be chosen. An empty folder
    // must never stand for the file system's root. The shell gives both
    // within MAX_PATH.
    WCHAR folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_MYMUSIC, nullptr, SHGFP_TYPE_CURRENT, folder)) &&
        FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, folder))) {
        folder[0] = 0;
    }
    SetFolder(folder);
    SetItemNote(IDC_FOLDER, L"文件保存位置，点击打开文件夹");
    SetItemIcon(IDC_FOLDER, IDI_FOLDER);

    // The session's rate (192 kbit/s at start) is the one place it is set.
    for (const BitRate& rate : kBitRates) {
        if (rate.bits_per_second == m_session.BitRate()) {
            SetItemText(IDC_BITRATE, rate.text);
        }
    }
    SetItemNote(IDC_BITRATE, L"mp3比特率");
    SetItemIcon(IDC_BITRATE, IDI_SETTINGS);
    SetItemIcon(IDC_CHANGE_FOLDER, IDI_SETTINGS);

    SetItemNote(IDC_DEVICE, L"录音设备  点击更改");

    m_display.Setup(GetDlgItem(IDC_PEAK));

    // The session lists the devices, selects entry 0 (the default output
    // device) and captures it; the trace runs from here on.
    UpdateAndReport(m_session.Open(m_hWnd));
    return 1;
}

LRESULT CMainDlg::OnClose(int exit_code) {
    if (m_closing_code != 0) {
        // Closing already, waiting for a file. Asked again, the user wants
        // out: a stalled disk may hold the file for good, and it keeps what
        // reached the disk whatever Sonaret does.
        if (m_session.FilesBeingCompleted() > 0 && !m_quit_now) {
            m_quit_now = true;
            ::PostQuitMessage(m_closing_code);
        }
        return 0;
    }
    m_session.Close();
    m_closing_code = exit_code;
    if (m_session.FilesBeingCompleted() > 0) {
        // A file is still being completed (a disk that stalls can take
        // seconds): the window stays until it is, so that the user neither
        // loses the end of the recording nor takes the folder away from a
        // file half written, and it shows that it is busy rather than
        // looking frozen. It closes by itself when the file is complete,
        // after telling of a failure as Stop would.
        for (int id : {IDC_START, IDC_STOP, IDC_DEVICE, IDC_BITRATE, IDC_FOLDER, IDC_CHANGE_FOLDER,
                       IDC_ABOUT_LINK}) {
            ::EnableWindow(GetDlgItem(id), FALSE);
        }
        ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
    }
    CloseWhenDone();
    return 0;
}

LRESULT CMainDlg::OnAbout() {
    CAboutDlg::Show();
    return 0;
}

LRESULT CMainDlg::OnOpenFolder() {
    ::ShellExecuteW(m_hWnd, L"open", m_session.Folder(), nullptr, nullptr, SW_SHOWNORMAL);
    return 0;
}

LRESULT CMainDlg::OnChooseFolder() {
    BROWSEINFOW info{};
    info.hwndOwner = m_hWnd ? m_hWnd : ::GetActiveWindow();
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&info);
    if (chosen) {
        // A folder's path may be longer than MAX_PATH; the recording's path
        // holds it and the file's name.
        WCHAR folder[RECORDING_PATH_UNITS] = {};
        if (::SHGetPathFromIDListEx(chosen, folder, RECORDING_PATH_UNITS, GPFIDL_DEFAULT)) {
            SetFolder(folder);
        }
        ::CoTaskMemFree(chosen);
    }
    return 0;
}

int CMainDlg::ChooseFromMenu(const std::vector<const WCHAR*>& texts) {
    HMENU menu = ::CreatePopupMenu();
    if (!menu) {
        return -1;
    }
    for (size_t i = 0; i < texts.size(); ++i) {
        ::AppendMenuW(menu, MF_STRING, kMenuFirstItem + i, texts[i]);
    }
    POINT at{};
    ::GetCursorPos(&at);
    const int chosen = ::TrackPopupMenu(menu, TPM_RETURNCMD, at.x, at.y, 0, m_hWnd, nullptr);
    ::DestroyMenu(menu);
    const int index = chosen - static_cast<int>(kMenuFirstItem);
    return chosen != 0 && index >= 0 && index < static_cast<int>(texts.size()) ? index : -1;
}

LRESULT CMainDlg::OnDeviceMenu() {
    // The device button is disabled while recording; the device must never
    // change under a running recording.
    if (m_session.Recording()) {
        return 0;
    }
    // The menu shows a copy: the list may be read afresh while it is open.
    EndpointList shown{};
    std::vector<const WCHAR*> texts;
    const EndpointList& devices = m_session.Devices();
    for (int32_t i = 0; i < devices.count; ++i) {
        if (endpoint_list_append(&shown, &devices.entries[i]) != 0) {
            break;
        }
    }
    // Only once the copy is whole: appending may move its entries.
    for (int32_t i = 0; i < shown.count; ++i) {
        texts.push_back(shown.entries[i].display_text);
    }
    const int index = ChooseFromMenu(texts);
    if (index >= 0) {
        UpdateAndReport(m_session.Select(shown.entries[index]));
    }
    endpoint_list_free(&shown);
    return 0;
}

LRESULT CMainDlg::OnBitRateMenu() {
    std::vector<const WCHAR*> texts;
    for (const auto& rate : kBitRates) {
        texts.push_back(rate.text);
    }
    const int index = ChooseFromMenu(texts);
    if (index >= 0) {
        // The running recording keeps its rate; this one is for the next.
        m_session.SetBitRate(kBitRates[index].bits_per_second);
        UpdateControls();
    }
    return 0;
}

LRESULT CMainDlg::OnLevelUpdate() {
    // Everything the meter closed since the last update, in one pass: the
    // next block posts again, so a slow pass never piles up messages.
    float peaks[LEVEL_RING_BLOCKS];
    const int32_t count = m_session.TakeLevels(peaks, LEVEL_RING_BLOCKS);
    m_display.OnLevelUpdate(peaks, count, m_session.Recording() ? 1 : 0);
    if (count > 0) {
        m_notice_drawn = m_session.Recording();
    }
    return 0;
}
