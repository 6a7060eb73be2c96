#include "main_dlg.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <wchar.h>

#include <algorithm>

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

// The window's rate at start is 192 kbit/s.
constexpr int kInitialBitRate = 1;

// Shown when a recording's file can't be completed: a write or the close
// failed (the disk is full, the folder went away).
constexpr const WCHAR* kWriteErrorText = L"文件写入出错";
constexpr const WCHAR* kRecordErrorCaption = L"录音出错";
constexpr const WCHAR* kCaptureErrorText = L"音频捕获出错";
constexpr const WCHAR* kOpenErrorText = L"编码器打开出错";

constexpr UINT_PTR kRecoverTimer = 1;
constexpr UINT_PTR kWatchTimer = 2;
constexpr UINT_PTR kArrivalTimer = 3;

// The same source: the default entry of the same flow, or the same device.
bool same_source(const EndpointEntry& a, const EndpointEntry& b) {
    if (a.is_default != 0 || b.is_default != 0) {
        return a.is_default != 0 && b.is_default != 0 && a.flow == b.flow;
    }
    return a.flow == b.flow && wcscmp(a.device_id, b.device_id) == 0;
}

// Where `list` holds the source `entry`; -1 when it does not.
int32_t find_source(const EndpointList& list, const EndpointEntry& entry) {
    for (int32_t i = 0; i < list.count; ++i) {
        if (same_source(list.entries[i], entry)) {
            return i;
        }
    }
    return -1;
}

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
    case WM_RECORD_FINISHED:
        result = OnRecordFinished(reinterpret_cast<const WriterThread*>(lparam));
        return TRUE;
    case WM_SETCURSOR:
        // Closed, and waiting for a file to be completed: busy all over.
        if (m_closing_code != 0) {
            ::SetCursor(::LoadCursorW(nullptr, IDC_WAIT));
            result = TRUE;
            return TRUE;
        }
        break;
    case WM_CAPTURE_FAILED:
        result = OnCaptureFailed();
        return TRUE;
    case WM_DEVICES_CHANGED:
        result = OnDevicesChanged();
        return TRUE;
    case WM_CAPTURE_ARRIVED:
        result = OnCaptureArrived();
        return TRUE;
    case WM_TIMER:
        result = OnTimer(static_cast<UINT_PTR>(wparam));
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
    device_events_close(&m_events);
    StopRecovering();
    if (m_state.recording.load() == 1) {
        FinishRecording();
    }
    CloseCapture();
    // Nobody is left to hear of them: the files are completed here.
    for (const Finishing& file : m_finishing) {
        if (writer_thread_finish(file.thread) == MP3_WRITER_NOTHING_WRITTEN) {
            ::DeleteFileW(file.path);
        }
    }
    m_finishing.clear();
    m_state.hwnd.store(nullptr);
    m_display.Release();
    for (int i = 0; i < m_icon_count; ++i) {
        ::DestroyIcon(m_icons[i]);
        m_icons[i] = nullptr;
    }
    m_icon_count = 0;
    return 0;
}

void CMainDlg::SetItemEnabled(int id, bool enable) {
    HWND control = GetDlgItem(id);
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

void CMainDlg::UpdateControls() {
    if (m_closing_code != 0) {
        return; // everything stays disabled while the window waits to close
    }
    const bool recording = m_state.recording.load() == 1;
    const bool enabled[3] = {recording, !recording && m_capturing && m_folder[0] != 0, !recording};
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
    ShowBitRate();
}

void CMainDlg::ShowBitRate() {
    // The rate a recording of the chosen rate gets from this device: one at
    // 8 to 24 kHz can't carry the higher rates, and the encoder takes the
    // nearest it can. The choice itself stays, for a device that can.
    int32_t rate = m_bit_rate;
    if (m_capturing) {
        rate = mp3_writer_bit_rate_used(m_sample_rate, m_state.channels.load(), m_bit_rate);
    }
    WCHAR text[32];
    wsprintfW(text, L"%dK bps", static_cast<int>(rate / 1000));
    SetItemText(IDC_BITRATE, text);
}

void CMainDlg::SetFolder(const WCHAR* folder) {
    wcsncpy(m_folder, folder, RECORDING_PATH_UNITS - 1);
    m_folder[RECORDING_PATH_UNITS - 1] = 0;
    SetItemText(IDC_FOLDER, m_folder);
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

    // Entry 0, the default output device, is selected.
    endpoint_list_add_defaults(&m_devices);
    enumerate_all_endpoints(&m_devices);
    if (m_devices.count > 0) {
        m_selection = m_devices.entries[0];
    }

    SetItemEnabled(IDC_STOP, false);
    SetItemIcon(IDC_DEVICE, IDI_DEVICE);
    if (m_devices.count > 0) {
        SetItemText(IDC_DEVICE, m_devices.entries[0].display_text);
    }

    // The music folder, else the home (profile) folder; failing both, no
    // folder at all, and Start waits for one to be chosen. An empty folder
    // must never stand for the file system's root.
    WCHAR folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathW(nullptr, CSIDL_MYMUSIC, nullptr, SHGFP_TYPE_CURRENT, folder)) &&
        FAILED(::SHGetFolderPathW(nullptr, CSIDL_PROFILE, nullptr, SHGFP_TYPE_CURRENT, folder))) {
        folder[0] = 0;
    }
    SetFolder(folder);
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
    WatchDevices();
    if (OpenSelectedCapture() != 0) {
        ::MessageBoxW(m_hWnd, kCaptureErrorText, L"", MB_OK);
    }
    return 1;
}

void CMainDlg::WatchDevices() {
    if (m_events != nullptr) {
        return;
    }
    // Without the audio service there is nothing to watch yet (started
    // before it, at a login say): the window tries again until there is.
    if (device_events_open(&m_events, m_hWnd, WM_DEVICES_CHANGED) != 0 || m_events == nullptr) {
        ::SetTimer(m_hWnd, kWatchTimer, kWatchRetryMs, nullptr);
    }
}

int32_t CMainDlg::OpenSelectedCapture() {
    CloseCapture();
    const int32_t result = CreateSelectedCapture();
    if (result == 0) {
        capture_start(m_capture);
        m_capturing = true;
    }
    UpdateControls();
    return result;
}

int32_t CMainDlg::CreateSelectedCapture() {
    m_capturing = false;
    const EndpointEntry& entry = m_selection;
    if (m_devices.count == 0) {
        return -1; // nothing was ever listed, not even the defaults
    }
    if (capture_create(&m_capture, entry.is_default ? nullptr : entry.device_id, entry.flow) != 0) {
        return -1;
    }
    capture_set_callback(m_capture, on_samples, &m_state);
    capture_set_notify(m_capture, m_hWnd, WM_CAPTURE_FAILED);

    uint32_t rate = 0;
    uint32_t channels = 0;
    m_sample_rate = 0;
    m_state.channels.store(0);
    capture_get_format(m_capture, &rate, &channels);
    m_sample_rate = static_cast<int32_t>(rate);
    m_state.channels.store(static_cast<int32_t>(channels));
    return rate == 0 || channels == 0 ? -1 : 0;
}

int32_t CMainDlg::BeginWriting(const SYSTEMTIME& when) {
    Mp3Writer* writer = nullptr;
    FILE* file = nullptr;
    if (ReserveRecordingFile(m_path, m_folder, when, &file) == 0) {
        // The writer writes to the file just created, never to whatever
        // the name may have been made to point at since.
        writer = mp3_writer_open_file(file, m_sample_rate, m_state.channels.load(), m_bit_rate);
    }
    WriterThread* thread = writer_thread_start(writer, m_hWnd, WM_RECORD_WRITE_FAILED);
    if (thread == nullptr) {
        // The empty file reserved for the recording is no recording.
        if (m_path[0] != 0) {
            ::DeleteFileW(m_path);
        }
        m_path[0] = L'\0';
        return -1;
    }
    // The writer thread is in place before the flag lets the capture use it.
    m_state.writer.store(thread);
    m_state.recording.store(1);
    return 0;
}

void CMainDlg::EndWriting(bool told) {
    m_state.recording.store(0);
    recorder_wait_for_deliveries(&m_state);
    WriterThread* thread = m_state.writer.exchange(nullptr);
    if (thread == nullptr) {
        return;
    }
    Finishing file{thread, {}, told};
    wcscpy(file.path, m_path);
    m_finishing.push_back(file);
    writer_thread_end(thread, m_hWnd, WM_RECORD_FINISHED);
}

LRESULT CMainDlg::OnRecordFinished(const WriterThread* thread) {
    auto file = std::find_if(m_finishing.begin(), m_finishing.end(),
                             [thread](const Finishing& f) { return f.thread == thread; });
    if (file == m_finishing.end()) {
        return 0;
    }
    const Finishing done = *file;
    m_finishing.erase(file);
    const int32_t result = writer_thread_finish(done.thread); // has ended: no wait
    if (result == MP3_WRITER_NOTHING_WRITTEN) {
        // Not a byte could be written (a full disk at Start): no file at all
        // is better than an empty one that looks like a recording.
        ::DeleteFileW(done.path);
    }
    if (result != 0 && !done.told) {
        ReportWriteError();
    }
    CloseWhenDone();
    return 0;
}

LRESULT CMainDlg::OnStart() {
    // Start is disabled while recording; a second writer would leak the first.
    if (m_state.recording.load() == 1) {
        return 0;
    }
    // Without a running capture or a folder there is nothing to record
    // (Start is disabled then; this keeps a stray click from making a file).
    if (!m_capturing || m_folder[0] == 0) {
        return 0;
    }
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    if (BeginWriting(now) != 0) {
        ::MessageBoxW(m_hWnd, kOpenErrorText, kRecordErrorCaption, MB_OK);
        return 0;
    }
    UpdateControls();
    return 0;
}

void CMainDlg::FinishRecording(bool told) {
    m_state.recording.store(0);
    // Start takes the focus from Stop, so Escape and Tab go on working.
    UpdateControls();
    // A delivery that saw the flag still set finishes its hand-over first.
    ::Sleep(100);
    EndWriting(told);
}

void CMainDlg::ReportWriteError() {
    ++m_boxes_open;
    ::MessageBoxW(m_hWnd, kWriteErrorText, kRecordErrorCaption, MB_OK);
    --m_boxes_open;
}

void CMainDlg::CloseWhenDone() {
    if (m_closing_code == 0 || !m_finishing.empty() || m_boxes_open > 0) {
        return;
    }
    const int exit_code = m_closing_code;
    DestroyWindow();
    ::PostQuitMessage(exit_code);
}

LRESULT CMainDlg::OnStop() {
    // The file is completed in the background; a failure is told when the
    // writer thread says it is done.
    if (m_state.recording.load() == 1) {
        FinishRecording();
    }
    return 0;
}

LRESULT CMainDlg::OnWriteFailed() {
    // A Stop that came first has said it already, and a message left from
    // an earlier recording is not about this one.
    const WriterThread* writer = m_state.writer.load();
    if (m_state.recording.load() != 1 || writer == nullptr || writer->write_failed.load() != 1) {
        return 0;
    }
    FinishRecording(true);
    ReportWriteError();
    return 0;
}

void CMainDlg::CloseCapture() {
    m_capturing = false;
    for (CaptureStream** stream : {&m_arriving, &m_capture}) {
        if (*stream != nullptr) {
            capture_stop(*stream);
            capture_destroy(stream);
        }
    }
    ::KillTimer(m_hWnd, kArrivalTimer);
}

int32_t CMainDlg::OpenArriving() {
    if (m_arriving != nullptr) {
        capture_stop(m_arriving);
        capture_destroy(&m_arriving);
    }
    uint32_t rate = 0;
    uint32_t channels = 0;
    if (capture_create(&m_arriving, nullptr, m_selection.flow) != 0 ||
        capture_get_format(m_arriving, &rate, &channels) != 0 || rate == 0 || channels == 0) {
        capture_destroy(&m_arriving);
        return -1;
    }
    m_state.arrived.store(0);
    capture_set_callback(m_arriving, on_samples_arriving, &m_state);
    capture_set_notify(m_arriving, m_hWnd, WM_CAPTURE_FAILED);
    capture_start(m_arriving);
    ::SetTimer(m_hWnd, kArrivalTimer, kArrivalDeadlineMs, nullptr);
    return 0;
}

void CMainDlg::TakeArriving() {
    ::KillTimer(m_hWnd, kArrivalTimer);
    if (m_arriving == nullptr) {
        return;
    }
    // The old capture feeds nothing from here on (its callback's user stays,
    // for a delivery that has read the callback already); a delivery of it
    // still in the meter or the writer ends first.
    if (m_capture != nullptr) {
        capture_set_callback(m_capture, nullptr, &m_state);
    }
    recorder_wait_for_deliveries(&m_state);
    uint32_t rate = 0;
    uint32_t channels = 0;
    capture_get_format(m_arriving, &rate, &channels);
    const bool same_format = static_cast<int32_t>(rate) == m_sample_rate &&
                             static_cast<int32_t>(channels) == m_state.channels.load();
    const bool recording = m_state.recording.load() == 1;
    if (recording && !same_format) {
        EndWriting(); // the encoder can't change its format within a file
    }
    m_sample_rate = static_cast<int32_t>(rate);
    m_state.channels.store(static_cast<int32_t>(channels));
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    const bool failed = recording && !same_format && BeginWriting(now) != 0;
    capture_set_callback(m_arriving, on_samples, &m_state);
    CaptureStream* old = m_capture;
    m_capture = m_arriving;
    m_arriving = nullptr;
    m_capturing = true;
    if (old != nullptr) {
        capture_stop(old);
        capture_destroy(&old);
    }
    UpdateControls();
    if (failed) {
        ::MessageBoxW(m_hWnd, kOpenErrorText, kRecordErrorCaption, MB_OK);
    }
}

LRESULT CMainDlg::OnCaptureArrived() {
    if (m_arriving != nullptr && m_state.arrived.load() == 1) {
        TakeArriving();
    }
    return 0;
}

int32_t CMainDlg::ReopenCapture() {
    const int32_t rate = m_sample_rate;
    const int32_t channels = m_state.channels.load();
    // The old stream's thread has ended here, so nothing is delivered while
    // the writer may change.
    CloseCapture();
    if (CreateSelectedCapture() != 0) {
        CloseCapture();
        // The format the writer was opened with stays the window's while
        // the recording waits for a capture.
        m_sample_rate = rate;
        m_state.channels.store(channels);
        UpdateControls();
        return -1;
    }
    const WCHAR* failure = nullptr;
    if (m_state.recording.load() == 1 &&
        (m_sample_rate != rate || m_state.channels.load() != channels)) {
        // The encoder can't change its format within a file: this one is
        // completed (in the background; a failure is told when it is done),
        // and the recording goes on in a new one from now.
        EndWriting();
        SYSTEMTIME now{};
        ::GetLocalTime(&now);
        if (BeginWriting(now) != 0) {
            failure = kOpenErrorText;
        }
    }
    capture_start(m_capture);
    m_capturing = true;
    UpdateControls();
    // Last, when the window is in order again: the box's modal loop may
    // hand the window other messages meanwhile.
    if (failure != nullptr) {
        ::MessageBoxW(m_hWnd, failure, kRecordErrorCaption, MB_OK);
    }
    return 0;
}

void CMainDlg::RecoverCapture(HRESULT why) {
    if (ReopenCapture() == 0) {
        StopRecovering();
        return;
    }
    // A default device is replaced, and a restarted audio service brings
    // the devices back: both are worth a few seconds' wait. A chosen
    // device that has gone is not replaced by another.
    if (m_selection.is_default != 0 || why == AUDCLNT_E_SERVICE_NOT_RUNNING) {
        if (!m_recovering) {
            m_recovering = true;
            m_lost_at = std::chrono::steady_clock::now();
            ::SetTimer(m_hWnd, kRecoverTimer, kRecoverRetryMs, nullptr);
        }
        return;
    }
    GiveUpCapture();
}

void CMainDlg::StopRecovering() {
    if (m_recovering) {
        ::KillTimer(m_hWnd, kRecoverTimer);
        m_recovering = false;
    }
}

void CMainDlg::GiveUpCapture() {
    StopRecovering();
    CloseCapture();
    if (m_state.recording.load() == 1) {
        FinishRecording();
    }
    UpdateControls();
    ::MessageBoxW(m_hWnd, kCaptureErrorText, L"", MB_OK);
}

LRESULT CMainDlg::OnCaptureFailed() {
    if (m_arriving != nullptr && capture_failure(m_arriving) != S_OK) {
        // The new default went again before it delivered: the running
        // capture goes on, and the next change of the devices is followed.
        capture_stop(m_arriving);
        capture_destroy(&m_arriving);
        ::KillTimer(m_hWnd, kArrivalTimer);
    }
    // A message from a stream closed since is not about this one.
    const HRESULT why = capture_failure(m_capture);
    if (m_capture == nullptr || why == S_OK) {
        return 0;
    }
    if (m_arriving != nullptr) {
        TakeArriving(); // the old device is gone: the new one takes over now
        return 0;
    }
    CloseCapture();
    RecoverCapture(why);
    return 0;
}

LRESULT CMainDlg::OnTimer(UINT_PTR id) {
    if (id == kWatchTimer) {
        ::KillTimer(m_hWnd, kWatchTimer);
        WatchDevices(); // sets it again while it can't
        if (m_events != nullptr) {
            // The service is there: its devices, and the capture of the
            // chosen one, as for any change of the devices.
            OnDevicesChanged();
        }
        return 0;
    }
    if (id == kArrivalTimer) {
        TakeArriving(); // a new default that is slow to deliver, all the same
        return 0;
    }
    if (id != kRecoverTimer) {
        return 0;
    }
    if (!m_recovering) {
        ::KillTimer(m_hWnd, kRecoverTimer);
        return 0;
    }
    WatchDevices();
    if (ReopenCapture() == 0) {
        StopRecovering();
    } else if (std::chrono::steady_clock::now() - m_lost_at >=
               std::chrono::milliseconds(kRecoverDeadlineMs)) {
        GiveUpCapture();
    }
    return 0;
}

void CMainDlg::RefreshDevices() {
    EndpointList fresh{};
    endpoint_list_add_defaults(&fresh);
    enumerate_all_endpoints(&fresh);
    if (fresh.count == 0) {
        endpoint_list_free(&fresh);
        return; // out of memory: the old list is better than none
    }
    endpoint_list_free(&m_devices);
    m_devices = fresh;
    m_selected = find_source(m_devices, m_selection);
    if (m_selected >= 0) {
        // The name may have changed with the device's description.
        m_selection = m_devices.entries[m_selected];
        SetItemText(IDC_DEVICE, m_selection.display_text);
    }
}

LRESULT CMainDlg::OnDevicesChanged() {
    device_events_rearm(m_events);
    RefreshDevices();
    if (!m_capturing) {
        // Lost, or never had: the selection may be back. A chosen device
        // that is still missing is not tried.
        if (m_selected >= 0 && ReopenCapture() == 0) {
            StopRecovering();
        }
        return 0;
    }
    if (m_selection.is_default != 0) {
        WCHAR now_default[CAPTURE_TEXT_UNITS];
        // No default at all: the open stream goes on until it fails, which
        // it does when its device went.
        const CaptureStream* next = m_arriving != nullptr ? m_arriving : m_capture;
        if (capture_default_id(m_selection.flow, now_default) == 0 &&
            wcscmp(now_default, capture_endpoint_id(next)) != 0 && OpenArriving() != 0 &&
            ReopenCapture() != 0) {
            RecoverCapture(S_OK);
        }
    }
    return 0;
}

LRESULT CMainDlg::OnClose(int exit_code) {
    if (m_closing_code != 0) {
        return 0; // closing already, waiting for a file
    }
    device_events_close(&m_events);
    StopRecovering();
    ::KillTimer(m_hWnd, kWatchTimer);
    if (m_state.recording.load() == 1) {
        FinishRecording();
    }
    CloseCapture();
    m_closing_code = exit_code;
    if (!m_finishing.empty()) {
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
    ::ShellExecuteW(m_hWnd, L"open", m_folder, nullptr, nullptr, SW_SHOWNORMAL);
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
    if (m_state.recording.load() == 1) {
        return 0;
    }
    // The menu shows a copy: the list may be read afresh while it is open.
    EndpointList shown{};
    std::vector<const WCHAR*> texts;
    for (int32_t i = 0; i < m_devices.count; ++i) {
        if (endpoint_list_append(&shown, &m_devices.entries[i]) != 0) {
            break;
        }
    }
    for (int32_t i = 0; i < shown.count; ++i) {
        texts.push_back(shown.entries[i].display_text);
    }
    const int index = ChooseFromMenu(texts);
    if (index >= 0 && (m_selected < 0 || !same_source(shown.entries[index], m_selection))) {
        m_selection = shown.entries[index];
        m_selected = find_source(m_devices, m_selection);
        SetItemText(IDC_DEVICE, m_selection.display_text);
        // The user's choice ends a wait for the device before it.
        StopRecovering();
        WatchDevices();
        // A failure here is shown only by Start staying disabled.
        OpenSelectedCapture();
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
        m_bit_rate = kBitRates[index].bits_per_second;
        ShowBitRate();
    }
    return 0;
}

LRESULT CMainDlg::OnLevelUpdate() {
    // Everything the meter closed since the last update, in one pass: the
    // next block posts again, so a slow pass never piles up messages.
    float peaks[LEVEL_RING_BLOCKS];
    const int32_t count = recorder_take_levels(&m_state, peaks, LEVEL_RING_BLOCKS);
    m_display.OnLevelUpdate(peaks, count, m_state.recording.load());
    // The writer thread's message may have been refused by a full queue;
    // the failure flag it set is there all the same, and the handler reads it.
    return OnWriteFailed();
}
