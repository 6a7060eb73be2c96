// The main recorder window: a modeless dialog from template 129. It holds
// the controls, the menus, the message boxes and the peak display; the
// recording session behind it (recording_session.h) captures and records,
// and the window turns the session's state into its controls in one place.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <vector>

#include "dialog.h"
#include "message_loop.h"
#include "peak_display.h"
#include "recording_session.h"
#include "resource.h"
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

    static const CUpdateUIMapEntry* GetUpdateUIMap();

    BOOL PreTranslateMessage(MSG* msg) override;
    BOOL OnIdle() override;
    BOOL ProcessWindowMessage(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam,
                              LRESULT& result, DWORD map_id) override;

    // Where recordings go; button 1006 shows it.
    void SetFolder(const WCHAR* folder);

    // What the window records from and into, for the tests.
    // After the loop: files a stalled disk still holds, which the window
    // did not wait for (closed twice), are left to the process's end.
    const RecordingSession& Session() const { return m_session; }
    const PeakDisplay& Display() const { return m_display; }

  private:
    LRESULT OnDestroy();
    LRESULT OnInitDialog();
    LRESULT OnAbout();
    // IDOK and IDCANCEL (the close box and Escape too): the recording is
    // finished, the capture closed, the window destroyed; the exit code is
    // the command's id. A second one while a file is still being completed
    // ends the loop at once, leaving the file to the disk.
    LRESULT OnClose(int exit_code);
    // WM_ENDSESSION for an ending session (log-out, shut-down, an update's
    // restart; on Linux also a termination signal or a lost display): the
    // process ends soon after it returns, so what Close starts and the
    // window would wait for is done here, within the time a system gives
    // the answer. No box: nobody is left to read it.
    LRESULT OnEndSession();
    // While a recording runs or a file is being completed, a session that
    // ends says so on the system's shut-down screen (on Linux the desktop's
    // log-out asks first); it is never vetoed.
    void KeepShutdownReason();
    LRESULT OnOpenFolder();
    LRESULT OnChooseFolder();
    LRESULT OnDeviceMenu();
    LRESULT OnBitRateMenu();
    LRESULT OnLevelUpdate();
    // WM_COMMAND: the buttons' clicks, OK, Cancel and About.
    BOOL OnCommand(WPARAM wparam, LRESULT& result);
    // After a call into the session: the controls follow it if it changed
    // (RecordingSession::Changes), then the user is told of `error`, if any
    // (the box's modal loop may hand the window other messages meanwhile, so
    // it comes last).
    LRESULT UpdateAndReport(SessionError error);
    // The one place that tells the user of a failure.
    void Report(SessionError error);

    // Shows a popup menu of `texts` at the cursor; the index chosen, or -1
    // when the menu was dismissed.
    int ChooseFromMenu(const std::vector<const WCHAR*>& texts);
    // After Close or OK: the window goes once no file is being completed
    // and no box is open.
    void CloseWhenDone();

    // The one place that turns the session's state (no capture, monitoring,
    // recording, a capture waited for) into enabled buttons, the device
    // shown and the bit rate a recording gets.
    void UpdateControls();
    // Disables control `id`; when it has the keyboard focus, the focus first
    // goes to the first enabled of Stop, Start and the device button. A
    // disabled control loses the focus and nothing else takes it, so the
    // window would take no keys, not even Escape, until the user clicked
    // one of its controls.
    void SetItemEnabled(int id, bool enable);
    void SetItemText(int id, const WCHAR* text);
    void SetItemNote(int id, const WCHAR* note);
    void SetItemIcon(int id, int icon_id);

    RecordingSession m_session;
    // The command (IDOK, IDCANCEL) that is closing the window, once given:
    // the window waits, busy, for the files still being completed.
    int m_closing_code = 0;
    bool m_quit_now = false; // closed twice: the window goes without its files
    int m_boxes_open = 0;                  // message boxes open over the window
    bool m_notice_drawn = false;           // the trace's last update said 正在录音
    bool m_shutdown_reason = false;        // KeepShutdownReason's, while it is given
    uint32_t m_changes_shown = UINT32_MAX; // the session's Changes() the controls show
    // The window's icon (large and small) and the buttons' images, loaded at
    // initialisation and freed with the window.
    HICON m_icons[6] = {};
    int m_icon_count = 0;
    PeakDisplay m_display;
};
