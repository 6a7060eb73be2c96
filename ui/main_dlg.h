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
// How long a new default device opened beside the running capture may take
// to deliver before it takes over all the same.
constexpr UINT kArrivalDeadlineMs = 5000;

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
    // Recordings stopped whose files their writer threads still complete.
    size_t FilesBeingCompleted() const { return m_finishing.size(); }

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
    LRESULT OnRecordFinished(const WriterThread* thread);
    LRESULT OnCaptureFailed();
    LRESULT OnDevicesChanged();
    LRESULT OnCaptureArrived();
    LRESULT OnTimer(UINT_PTR id);

    // The recording part of Stop: buttons, flag, the wait for deliveries in
    // progress, then the writer thread is told to complete the file, which
    // it does in the background (EndWriting). `told`: the user has been
    // told already that the file is not whole.
    void FinishRecording(bool told = false);
    // Shows a popup menu of `texts` at the cursor; the index chosen, or -1
    // when the menu was dismissed.
    int ChooseFromMenu(const std::vector<const WCHAR*>& texts);
    // Stops and destroys the capture and an arriving one, if there are.
    void CloseCapture();
    // The default device moved during a capture: the new one is opened
    // beside the running capture, which goes on feeding the meter and the
    // file until the new one delivers (make before break, so that a device
    // that starts slowly costs the recording no time). 0, or -1 when the new
    // one can't be opened.
    int32_t OpenArriving();
    // The arriving capture takes over: the old one's sound ends and the new
    // one's begins, in a new file when the format changed.
    void TakeArriving();
    void ReportWriteError();
    // After Close or OK: the window goes once no file is being completed
    // and no box is open.
    void CloseWhenDone();
    // Reserves a file named after `when` in the folder, opens a writer on it
    // with the capture's format and its writer thread, and sets the
    // recording flag. 0, or -1 (and no file left) on failure.
    int32_t BeginWriting(const SYSTEMTIME& when);
    // Clears the recording flag, waits for deliveries in progress and tells
    // the writer thread to complete the file; it says when it has, with
    // WM_RECORD_FINISHED. Never waits for the disk.
    void EndWriting(bool told = false);
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
    CaptureStream* m_arriving = nullptr; // see OpenArriving
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
    // Files being completed by their writer threads after their recordings
    // ended: a stalled disk may hold one up for seconds, which nobody waits
    // for but a closing window.
    struct Finishing {
        WriterThread* thread;
        WCHAR path[RECORDING_PATH_UNITS];
        bool told; // the user knows already that it is not whole
    };
    std::vector<Finishing> m_finishing;
    // The command (IDOK, IDCANCEL) that is closing the window, once given:
    // the window waits, busy, for the files still being completed.
    int m_closing_code = 0;
    int m_boxes_open = 0; // message boxes open over the window
    // The window's icon (large and small) and the buttons' images, loaded at
    // initialisation and freed with the window.
    HICON m_icons[6] = {};
    int m_icon_count = 0;
    PeakDisplay m_display;
};
