// The main recorder window: a modeless dialog from template 129. It keeps one
// capture stream open for the chosen device, feeding the sample sink, opens
// and closes an MP3 writer for each recording, and hosts the peak display.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <vector>

#include "capture_stream.h"
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

    // The recording part of Stop: buttons, flag, the wait for deliveries in
    // progress, then the writer's close. 0, or -1 when the file could not be
    // completed.
    int32_t FinishRecording();
    // Shows a popup menu of `texts` at the cursor; the index chosen, or -1
    // when the menu was dismissed.
    int ChooseFromMenu(const std::vector<const WCHAR*>& texts);
    // Stops and destroys the capture, if there is one.
    void CloseCapture();
    void ReportWriteError();

    void EnableItem(int id, BOOL enable) { ::EnableWindow(GetDlgItem(id), enable); }
    // Disables control `id`; when it has the keyboard focus, the focus first
    // goes to control `heir`. A disabled control loses the focus and nothing
    // else takes it, so the window would take no keys, not even Escape,
    // until the user clicked one of its controls.
    void DisableItem(int id, int heir);
    void SetItemText(int id, const WCHAR* text) { ::SetWindowTextW(GetDlgItem(id), text); }
    void SetItemNote(int id, const WCHAR* note);
    void SetItemIcon(int id, int icon_id);

    EndpointList m_devices{};
    int32_t m_selected = 0;
    CaptureStream* m_capture = nullptr;
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
