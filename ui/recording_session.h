// The recording session: what the main window records from and into. It
// owns the device list and the selection, the capture of the selected device
// (and, for a moment, a new default device's capture beside it), the writer
// thread of the running recording and the files still being completed, the
// folder and the bit rate, and says where it stands in one named state.
//
// It runs on the window thread and shows nothing. The capture, the meter,
// the writer threads and the device watcher post to the window it was opened
// with (window_messages.h), which hands each message and each of the
// session's timers back to it; every call that may fail returns what the user
// must be told, and the window tells it.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <chrono>
#include <vector>

#include "audio_devices.h"
#include "capture_stream.h"
#include "device_events.h"
#include "endpoints.h"
#include "recording_file.h"
#include "sample_sink.h"
#include "session_error.h"

enum class SessionState {
    NoCapture,  // nothing is captured: no device yet, or it could not be had back
    Monitoring, // the capture feeds the trace
    Recording,  // ... and a file
    // The capture was lost and is waited for (a default device to be
    // replaced, the audio service to come back); the recording, if one
    // runs, goes on when it is back.
    Recovering,
    RecordingRecovering,
    // Closed with the window: nothing is captured; files may still be being
    // completed (FilesBeingCompleted).
    Closed,
};

// The timers the session sets on its window; the window hands them back.
constexpr UINT_PTR kRecoverTimer = 1;
constexpr UINT_PTR kWatchTimer = 2;

// How long a lost capture is waited for before the recording ends and the
// user is told, and how often it is tried meanwhile.
constexpr DWORD kRecoverDeadlineMs = 5000;
constexpr UINT kRecoverRetryMs = 250;
// How often the devices are tried while they can't be watched (no audio
// service yet): once they can, they are listed and captured, unasked.
constexpr UINT kWatchRetryMs = 1000;

class RecordingSession {
  public:
    RecordingSession() = default;
    ~RecordingSession();
    RecordingSession(const RecordingSession&) = delete;
    RecordingSession& operator=(const RecordingSession&) = delete;

    // Lists the devices, selects entry 0 (the default output device), starts
    // watching the devices and captures. From here on the session's threads
    // post to `window`. Capture when the selection can't be captured.
    SessionError Open(HWND window);
    // Closes it all for the window's end: the watcher, the recording (its
    // file is completed in the background) and the capture.
    void Close();
    // A window that goes before its files are complete, or a session that
    // ends: waits for them, for `within_ms` at most. How many a stalled disk
    // still holds up then; they keep what reached the disk.
    size_t CompleteFilesNow(DWORD within_ms = INFINITE);

    // Begins a recording in a new file named after this moment.
    SessionError Start();
    // Ends the recording; its file is completed in the background, and a
    // failure is told when it is (OnRecordFinished).
    void Stop();
    // The user chose `entry` (a copy of one of Devices()): it is captured
    // from now on, or the user is told that it can't be (as at the start).
    SessionError Select(const EndpointEntry& entry);
    void SetFolder(const WCHAR* folder);
    // For the next recording; a running one keeps its rate.
    void SetBitRate(int32_t bits_per_second) { m_bit_rate = bits_per_second; }

    // Takes one of the messages its threads post (window_messages.h, but
    // for the meter's, which the window draws) or one of its timers, and
    // sets *error to what the user must be told. False for any other message.
    bool OnMessage(UINT message, WPARAM wparam, LPARAM lparam, SessionError* error);
    // Takes the peaks the meter closed since the last call (WM_LEVEL_UPDATE).
    int32_t TakeLevels(float* peaks, int32_t capacity);

    SessionState State() const { return m_state; }
    // Counts the changes of what the window shows of the session: its state,
    // the selection and the device names, the capture's format (and with it
    // the bit rate a recording gets). The window updates its controls when
    // this moved since it last did.
    uint32_t Changes() const { return m_changes; }
    bool Capturing() const {
        return m_state == SessionState::Monitoring || m_state == SessionState::Recording;
    }
    bool Recording() const {
        return m_state == SessionState::Recording || m_state == SessionState::RecordingRecovering;
    }
    // A lost capture is waited for.
    bool Waiting() const {
        return m_state == SessionState::Recovering || m_state == SessionState::RecordingRecovering;
    }
    // The bit rate a recording gets: the chosen one, or the nearest the
    // capture's format can carry.
    int32_t BitRateUsed() const;

    const EndpointList& Devices() const { return m_devices; }
    // Index of the selection in Devices(); -1 while it is not there (it went
    // away). Selection() keeps what was chosen.
    int32_t SelectedIndex() const { return m_selected; }
    const EndpointEntry& Selection() const { return m_selection; }
    const CaptureStream* Capture() const { return m_capture; }
    int32_t SampleRate() const { return m_sample_rate; }
    int32_t BitRate() const { return m_bit_rate; }
    const WCHAR* Folder() const { return m_folder; }
    // The file of the running recording, or of the last one.
    const WCHAR* RecordingPath() const { return m_path; }
    // What the sink shares with the capture thread.
    const RecorderState& Shared() const { return m_shared; }
    // Recordings ended whose files their writer threads still complete.
    size_t FilesBeingCompleted() const { return m_finishing.size(); }

  private:
    // The messages and timers, one by one.
    SessionError OnCaptureFailed();
    SessionError OnDevicesChanged();
    SessionError OnCaptureArrived();
    SessionError OnWriteFailed();
    SessionError OnRecordFinished(const WriterThread* thread);
    SessionError OnTimer(UINT_PTR id);
    // The capture: made for the selection, opened afresh, lost and recovered.
    SessionError OpenSelectedCapture();
    int32_t CreateSelectedCapture();
    int32_t ReopenCapture(SessionError* failure);
    void CloseCapture();
    SessionError CaptureError() const;
    SessionError RecoverCapture(HRESULT why);
    void StopRecovering();
    SessionError GiveUpCapture();
    int32_t OpenArriving();
    SessionError TakeArriving();
    // The devices: watched, and read afresh after a change.
    void WatchDevices();
    void RefreshDevices();
    // A recording's file: begun with its writer thread, and ended.
    SessionError BeginWriting(const SYSTEMTIME& when);
    void EndWriting(bool told = false);
    void FinishRecording(bool told = false);
    // A new file from now, after the capture's format changed under a
    // running recording: the encoder can't change its format within a file.
    SessionError NextFile();
    // The one place the state changes: the recover timer runs exactly while
    // a lost capture is waited for, and Changes() counts it.
    void Enter(SessionState next);

    HWND m_window = nullptr;
    SessionState m_state = SessionState::NoCapture;
    uint32_t m_changes = 0;
    AudioDevices* m_audio = nullptr; // one enumerator for all of it
    DeviceEvents* m_events = nullptr;
    EndpointList m_devices{};
    int32_t m_selected = 0;
    EndpointEntry m_selection{};
    CaptureStream* m_capture = nullptr;
    CaptureStream* m_arriving = nullptr; // see OpenArriving
    HRESULT m_open_failure = S_OK;       // why the selection last could not be opened
    std::chrono::steady_clock::time_point m_lost_at{};
    WCHAR m_folder[RECORDING_PATH_UNITS] = {};
    int32_t m_sample_rate = 48000;
    int32_t m_bit_rate = 192000;
    RecorderState m_shared;
    WCHAR m_path[RECORDING_PATH_UNITS] = {};
    // Files being completed by their writer threads after their recordings
    // ended: a stalled disk may hold one up for seconds, which nobody waits
    // for but a window that goes.
    struct Finishing {
        WriterThread* thread;
        WCHAR path[RECORDING_PATH_UNITS];
        bool told; // the user knows already that it is not whole
    };
    std::vector<Finishing> m_finishing;
};
