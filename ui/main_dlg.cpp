#include "main_dlg.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include "about_dlg.h"
#include "module.h"

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

// The window's rate at start is 192 kbit/s; the button shows the rate in use.
constexpr int kInitialBitRate = 1;

// Shown when a recording's file can't be completed: a write or the close
// failed (the disk is full, the folder went away).
constexpr const WCHAR* kWriteErrorText = L"文件写入出错";
constexpr const WCHAR* kRecordErrorCaption = L"录音出错";

} // namespace

CMainDlg::~CMainDlg() {
    endpoint_list_free(&m_devices);
}

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
        if (header && header->idFrom == IDC_ABOUT_LINK && header->code == NM_CLICK) {
            result = OnAbout();
            return TRUE;
        }
        break;
    }
    case WM_INITDIALOG:
        result = OnInitDialog();
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case ID_APP_ABOUT:
            result = OnAbout();
            return TRUE;
        case IDOK:
            result = OnClose(IDOK);
            return TRUE;
        case IDCANCEL:
            result = OnClose(IDCANCEL);
            return TRUE;
        }
        if (HIWORD(wparam) == BN_CLICKED) {
            switch (LOWORD(wparam)) {
            case IDC_START:
                result = OnStart();
                return TRUE;
            case IDC_STOP:
                result = OnStop();
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
        }
        break;
    case WM_LEVEL_UPDATE:
        result = OnLevelUpdate();
        return TRUE;
    case WM_RECORD_WRITE_FAILED:
        result = OnWriteFailed();
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
    // would otherwise go on calling into this object.
    if (m_state.recording.load() == 1) {
        FinishRecording();
    }
    CloseCapture();
    m_state.hwnd.store(nullptr);
    m_display.Release();
    for (int i = 0; i < m_icon_count; ++i) {
        ::DestroyIcon(m_icons[i]);
        m_icons[i] = nullptr;
    }
    m_icon_count = 0;
    return 0;
}

void CMainDlg::DisableItem(int id, int heir) {
    HWND control = GetDlgItem(id);
    if (::GetFocus() == control) {
        ::SendMessageW(m_hWnd, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(GetDlgItem(heir)), TRUE);
    }
    ::EnableWindow(control, FALSE);
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

    // Entry 0, the default output device, is selected.
    endpoint_list_add_defaults(&m_devices);
    enumerate_all_endpoints(&m_devices);

    EnableItem(IDC_STOP, FALSE);
    SetItemIcon(IDC_DEVICE, IDI_DEVICE);
    if (m_devices.count > 0) {
        SetItemText(IDC_DEVICE, m_devices.entries[0].display_text);
    }

    WCHAR music[MAX_PATH] = {};
    ::SHGetFolderPathW(nullptr, CSIDL_MYMUSIC, nullptr, SHGFP_TYPE_CURRENT, music);
    SetItemText(IDC_FOLDER, music);
    SetItemNote(IDC_FOLDER, L"文件保存位置，点击打开文件夹");
    SetItemIcon(IDC_FOLDER, IDI_FOLDER);

    SetItemText(IDC_BITRATE, kBitRates[kInitialBitRate].text);
    SetItemNote(IDC_BITRATE, L"mp3比特率");
    SetItemIcon(IDC_BITRATE, IDI_SETTINGS);
    SetItemIcon(IDC_CHANGE_FOLDER, IDI_SETTINGS);

    if (m_selected < m_devices.count) {
        SetItemText(IDC_DEVICE, m_devices.entries[m_selected].display_text);
    }
    SetItemNote(IDC_DEVICE, L"录音设备  点击更改");

    m_display.Setup(GetDlgItem(IDC_PEAK));

    // The sink posts its level updates here from the first packet on.
    m_state.hwnd.store(m_hWnd);
    if (OpenSelectedCapture() != 0) {
        ::MessageBoxW(m_hWnd, L"音频捕获出错", L"", MB_OK);
        EnableItem(IDC_START, FALSE);
    } else {
        EnableItem(IDC_START, TRUE);
    }
    return 1;
}

int32_t CMainDlg::OpenSelectedCapture() {
    DisableItem(IDC_START, IDC_DEVICE);
    if (m_selected < 0 || m_selected >= m_devices.count) {
        return -1;
    }
    const EndpointEntry& entry = m_devices.entries[m_selected];
    if (capture_create(&m_capture, entry.is_default ? nullptr : entry.device_id, entry.flow) != 0) {
        return -1;
    }
    capture_set_callback(m_capture, on_samples, &m_state);

    uint32_t rate = 0;
    uint32_t channels = 0;
    m_sample_rate = 0;
    m_state.channels.store(0);
    capture_get_format(m_capture, &rate, &channels);
    m_sample_rate = static_cast<int32_t>(rate);
    m_state.channels.store(static_cast<int32_t>(channels));
    if (rate == 0 || channels == 0) {
        return -1;
    }
    capture_start(m_capture);
    EnableItem(IDC_START, TRUE);
    return 0;
}

LRESULT CMainDlg::OnStart() {
    // Start is disabled while recording; a second writer would leak the first.
    if (m_state.recording.load() == 1) {
        return 0;
    }
    WCHAR folder[RECORDING_PATH_UNITS] = {};
    ::GetWindowTextW(GetDlgItem(IDC_FOLDER), folder, RECORDING_PATH_UNITS);
    SYSTEMTIME now{};
    ::GetLocalTime(&now);

    EnableItem(IDC_STOP, TRUE);
    DisableItem(IDC_START, IDC_STOP);
    DisableItem(IDC_DEVICE, IDC_STOP);

    Mp3Writer* writer = nullptr;
    if (ReserveRecordingFile(m_path, folder, now) == 0) {
        writer = mp3_writer_open(m_path, m_sample_rate, m_state.channels.load(), m_bit_rate);
        if (!writer) {
            // The empty file reserved for the recording is no recording.
            ::DeleteFileW(m_path);
        }
    }
    if (!writer) {
        m_path[0] = L'\0';
        EnableItem(IDC_START, TRUE);
        EnableItem(IDC_DEVICE, TRUE);
        DisableItem(IDC_STOP, IDC_START);
        ::MessageBoxW(m_hWnd, L"编码器打开出错", kRecordErrorCaption, MB_OK);
        return 0;
    }
    // The writer is in place before the flag lets the capture thread use it.
    m_state.write_failed.store(0);
    m_state.writer.store(writer);
    m_state.recording.store(1);
    return 0;
}

int32_t CMainDlg::FinishRecording() {
    // Start takes the focus from Stop, so Escape and Tab go on working.
    EnableItem(IDC_START, TRUE);
    EnableItem(IDC_DEVICE, TRUE);
    DisableItem(IDC_STOP, IDC_START);
    m_state.recording.store(0);
    // A delivery that saw the flag still set finishes its write first.
    ::Sleep(100);
    recorder_wait_for_deliveries(&m_state);
    Mp3Writer* writer = m_state.writer.exchange(nullptr);
    // The write that failed already made the file incomplete, whatever the
    // close says.
    const int32_t closed = mp3_writer_close(writer);
    return closed == 0 && m_state.write_failed.load() == 0 ? 0 : -1;
}

void CMainDlg::ReportWriteError() {
    ::MessageBoxW(m_hWnd, kWriteErrorText, kRecordErrorCaption, MB_OK);
}

LRESULT CMainDlg::OnStop() {
    if (m_state.recording.load() != 1) {
        return 0;
    }
    if (FinishRecording() != 0) {
        ReportWriteError();
    }
    return 0;
}

LRESULT CMainDlg::OnWriteFailed() {
    // A Stop that came first has said it already, and a message left from
    // an earlier recording is not about this one.
    if (m_state.recording.load() != 1 || m_state.write_failed.load() != 1) {
        return 0;
    }
    FinishRecording();
    ReportWriteError();
    return 0;
}

void CMainDlg::CloseCapture() {
    if (m_capture) {
        capture_stop(m_capture);
        capture_destroy(&m_capture);
    }
}

LRESULT CMainDlg::OnClose(int exit_code) {
    if (m_state.recording.load() == 1 && FinishRecording() != 0) {
        ReportWriteError();
    }
    CloseCapture();
    DestroyWindow();
    ::PostQuitMessage(exit_code);
    return 0;
}

LRESULT CMainDlg::OnAbout() {
    CAboutDlg::Show();
    return 0;
}

LRESULT CMainDlg::OnOpenFolder() {
    WCHAR folder[RECORDING_PATH_UNITS] = {};
    ::GetWindowTextW(GetDlgItem(IDC_FOLDER), folder, RECORDING_PATH_UNITS);
    ::ShellExecuteW(m_hWnd, L"open", folder, nullptr, nullptr, SW_SHOWNORMAL);
    return 0;
}

LRESULT CMainDlg::OnChooseFolder() {
    BROWSEINFOW info{};
    info.hwndOwner = m_hWnd ? m_hWnd : ::GetActiveWindow();
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    PIDLIST_ABSOLUTE chosen = ::SHBrowseForFolderW(&info);
    if (chosen) {
        WCHAR folder[MAX_PATH] = {};
        if (::SHGetPathFromIDListW(chosen, folder)) {
            SetItemText(IDC_FOLDER, folder);
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
    if (m_state.recording.load() == 1) {
        return 0;
    }
    std::vector<const WCHAR*> texts;
    for (int32_t i = 0; i < m_devices.count; ++i) {
        texts.push_back(m_devices.entries[i].display_text);
    }
    const int index = ChooseFromMenu(texts);
    if (index >= 0 && index != m_selected) {
        m_selected = index;
        SetItemText(IDC_DEVICE, m_devices.entries[index].display_text);
        CloseCapture();
        // A failure here is shown only by Start staying disabled.
        OpenSelectedCapture();
    }
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
        m_bit_rate = kBitRates[index].bits_per_second;
        SetItemText(IDC_BITRATE, kBitRates[index].text);
    }
    return 0;
}

LRESULT CMainDlg::OnLevelUpdate() {
    // Everything the meter closed since the last update, in one pass: the
    // next block posts again, so a slow pass never piles up messages.
    float peaks[LEVEL_RING_BLOCKS];
    const int32_t count = recorder_take_levels(&m_state, peaks, LEVEL_RING_BLOCKS);
    m_display.OnLevelUpdate(peaks, count, m_state.recording.load());
    // The sink's own message may have been refused by a full queue; the
    // failure flag it set is there all the same, and the handler reads it.
    return OnWriteFailed();
}
