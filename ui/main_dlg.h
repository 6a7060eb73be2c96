// The main recorder window: a modeless dialog from template 129. It keeps one
// capture stream open for the chosen device, feeding the sample sink, opens
// and closes an MP3 writer for each recording, and hosts the peak display.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <chrono>
#include <vector>

#include "capture_stream.h"
#include "device_events.h"
#include "dialog.h"
#include "endpoints.h"
#include "message_loop.h"
#include "peak_display.h"
#include "recording_file.h"
#include "resource.h"
#include "sample_sink.h"
#include "update_ui.h"

// Commands of the popup menus: item i of either menu is kMenuFirstItem + i.
constexpr UINT kMenuFirstItem = 40001;

// Posted by the capture thread when the stream dies (wParam: the HRESULT).
constexpr UINT WM_CAPTURE_FAILED = WM_USER + 202;
// Posted when the system's audio devices or its default devices changed.
constexpr UINT WM_DEVICES_CHANGED = WM_USER + 203;

// How long the window waits for a lost capture to come back (the default
// device to be replaced, the audio service to restart) before it ends the
// recording and says so, and how often it tries meanwhile.
constexpr DWORD kRecoverDeadlineMs = 5000;
constexpr UINT kRecoverRetryMs = 250;
// How often the window tries to watch the devices while it can't (no audio
// service yet): once it can, it lists them and captures, unasked.
constexpr UINT kWatchRetryMs = 1000;

class CMainDlg : public CDialogImpl<CMainDlg>,
                 public CUpdateUI<CMainDlg>,
                 public CMessageFilter,
                 public CIdleHandler {
  public:
    enum { IDD = IDD_MAINDLG };

    CMainDlg() = default;
    ~CMainDlg() override;

    static const CUpdateUIMapEntry* GetUpdateUIMap();

    BOOL PreTranslateMessage(MSG* msg) override;
    BOOL OnIdle() override;
    BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                              LRESULT& result, DWORD map_id) override;

    // Opens and starts the capture of the selected device with the sink as
    // its callback; Start is enabled only when it succeeds. 0 or -1.
    int32_t OpenSelectedCapture();

    // Where recordings go; button 1006 shows it.
    void SetFolder(const WCHAR* folder);

    // What the window holds, for the tests.
    const EndpointList& Devices() const { return m_devices; }
    int32_t SelectedIndex() const { return m_selected; }
    const CaptureStream* Capture() const { return m_capture; }
    int32_t SampleRate() const { return m_sample_rate; }
    int32_t BitRate() const { return m_bit_rate; }
    const RecorderState& State() const { return m_state; }
    const PeakDisplay& Display() const { return m_display; }
    // The file of the running recording, or of the last one.
    const WCHAR* RecordingPath() const { return m_path; }
    const WCHAR* Folder() const { return m_folder; }
    // True while a lost capture is waited for.
    bool Recovering() const { return m_recovering; }

  private:
    LRESULT OnDestroy();
    LRESULT OnInitDialog();
    LRESULT OnAbout();
    // IDOK and IDCANCEL (the close box and Escape too): the recording is
    // finished, the capture closed, the window destroyed; the exit code is
    // the command's id.
    LRESULT OnClose(int exit_code);
    LRESULT OnStart();
    LRESULT OnStop();
    LRESULT OnOpenFolder();
    LRESULT OnChooseFolder();
    LRESULT OnDeviceMenu();
    LRESULT OnBitRateMenu();
    LRESULT OnLevelUpdate();
    LRESULT OnWriteFailed();
    LRESULT OnCaptureFailed();
    LRESULT OnDevicesChanged();
    LRESULT OnTimer(UINT_PTR id);

    // The recording part of Stop: buttons, flag, the wait for deliveries in
    // progress, then the writer thread's finish. 0, or -1 when the file could not be
    // completed.
    int32_t FinishRecording();
    // Shows a popup menu of `texts` at the cursor; the index chosen, or -1
    // when the menu was dismissed.
    int ChooseFromMenu(const std::vector<const WCHAR*>& texts);
    // Stops and destroys the capture, if there is one.
    void CloseCapture();
    void ReportWriteError();
    // Reserves a file named after `when` in the folder, opens a writer on it
    // with the capture's format and its writer thread, and sets the
    // recording flag. 0, or -1 (and no file left) on failure.
    int32_t BeginWriting(const SYSTEMTIME& when);
    // Clears the recording flag, waits for deliveries in progress and
    // finishes the writer thread; an empty file of a failed recording is
    // removed. 0, or -1 when the file is not the whole recording.
    int32_t EndWriting();
    // Creates the capture of the selection and reads its format, without
    // starting it. 0 or -1.
    int32_t CreateSelectedCapture();
    // Opens the selection again, closing what is open. A running recording
    // goes on: in the same file when the format is the same, else in a new
    // file named after this moment. 0 or -1 (nothing open).
    int32_t ReopenCapture();
    // After the capture was lost: opens it again at once if it can, waits a
    // few seconds for a default device or the audio service to come back,
    // and otherwise gives up.
    void RecoverCapture(HRESULT why);
    void StopRecovering();
    // A capture that could not be had back: the recording is completed, the
    // user told once, and the window stays without a capture.
    void GiveUpCapture();
    // Reads the devices afresh; the selection stays on the same device.
    void RefreshDevices();
    // Starts watching the devices when it is not done yet.
    void WatchDevices();

    // The one place that turns the window's state (no capture, monitoring,
    // recording) into enabled buttons and the bit rate shown.
    void UpdateControls();
    // Shows the bit rate a recording gets: the chosen one, or the nearest
    // the capture's format can carry.
    void ShowBitRate();
    // Disables control `id`; when it has the keyboard focus, the focus first
    // goes to the first enabled of Stop, Start and the device button. A
    // disabled control loses the focus and nothing else takes it, so the
    // window would take no keys, not even Escape, until the user clicked
    // one of its controls.
    void SetItemEnabled(int id, bool enable);
    void SetItemText(int id, const WCHAR* text) { ::SetWindowTextW(GetDlgItem(id), text); }
    void SetItemNote(int id, const WCHAR* note);
    void SetItemIcon(int id, int icon_id);

    EndpointList m_devices{};
    // Index of the selected device in m_devices; -1 while it is not there
    // (it went away). m_selection keeps what was chosen, by id.
    int32_t m_selected = 0;
    EndpointEntry m_selection{};
    CaptureStream* m_capture = nullptr;
    bool m_capturing = false; // m_capture is started and delivering
    DeviceEvents* m_events = nullptr;
    bool m_recovering = false;
    std::chrono::steady_clock::time_point m_lost_at{}; // when the capture was lost
    WCHAR m_folder[RECORDING_PATH_UNITS] = {};
    int32_t m_sample_rate = 48000;
    int32_t m_bit_rate = 192000;
    // What the sink shares with this window: the channel count, the writer,
    // the recording flag and the block peak, among others.
    RecorderState m_state;
    WCHAR m_path[RECORDING_PATH_UNITS] = {};
    // The window's icon (large and small) and the buttons' images, loaded at
    // initialisation and freed with the window.
    HICON m_icons[6] = {};
    int m_icon_count = 0;
    PeakDisplay m_display;
};
