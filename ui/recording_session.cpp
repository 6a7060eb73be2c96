#include "recording_session.h"

#include <wchar.h>

#include <algorithm>

#include "window_messages.h"

namespace {

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

RecordingSession::~RecordingSession() {
    // A window closed twice left them to the process's end (which comes
    // first in the program); whoever lets the session go on waits here.
    CompleteFilesNow();
    endpoint_list_free(&m_devices);
    audio_devices_close(&m_audio);
}

SessionError RecordingSession::Open(HWND window) {
    m_window = window;
    // Without an audio service yet there is no context; the watch tries
    // again until there is.
    audio_devices_open(&m_audio);
    // Entry 0, the default output device, is selected.
    endpoint_list_add_defaults(&m_devices);
    enumerate_all_endpoints(&m_devices, m_audio);
    if (m_devices.count > 0) {
        m_selection = m_devices.entries[0];
    }
    // The sink posts its level updates from the first packet on.
    recorder_attach(&m_shared, window, WM_LEVEL_UPDATE, WM_CAPTURE_ARRIVED);
    WatchDevices();
    return OpenSelectedCapture();
}

void RecordingSession::Close() {
    device_events_close(&m_events);
    ::KillTimer(m_window, kWatchTimer);
    if (Recording()) {
        FinishRecording();
    }
    CloseCapture();
    audio_devices_close(&m_audio);
    m_shared.hwnd.store(nullptr);
    Enter(SessionState::Closed);
}

size_t RecordingSession::CompleteFilesNow(DWORD within_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(within_ms);
    std::vector<Finishing> held_up;
    for (const Finishing& file : m_finishing) {
        // They were all told to end when their recordings did, and complete
        // side by side: the time left is for each of them.
        DWORD left = INFINITE;
        if (within_ms != INFINITE) {
            const auto now = std::chrono::steady_clock::now();
            left = now < deadline
                       ? static_cast<DWORD>(
                             std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count())
                       : 0;
        }
        if (!writer_thread_done(file.thread, left)) {
            held_up.push_back(file);
        } else if (writer_thread_finish(file.thread) == MP3_WRITER_NOTHING_WRITTEN) {
            ::DeleteFileW(file.path);
        }
    }
    m_finishing = held_up;
    return m_finishing.size();
}

void RecordingSession::Enter(SessionState next) {
    if (next == m_state) {
        return;
    }
    const bool was_waiting = Waiting();
    m_state = next;
    // A lost capture is tried again on a timer for as long as it is waited
    // for, from the moment the wait began.
    if (Waiting() && !was_waiting) {
        m_lost_at = std::chrono::steady_clock::now();
        ::SetTimer(m_window, kRecoverTimer, kRecoverRetryMs, nullptr);
    } else if (!Waiting() && was_waiting) {
        ::KillTimer(m_window, kRecoverTimer);
    }
    ++m_changes;
}

SessionError RecordingSession::Start() {
    // A second writer would leak the first; without a running capture or a
    // folder there is nothing to record (Start is disabled then; this keeps
    // a stray click from making a file).
    if (m_state != SessionState::Monitoring || m_folder[0] == 0) {
        return SessionError::None;
    }
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    const SessionError failure = BeginWriting(now);
    if (failure != SessionError::None) {
        return failure;
    }
    Enter(SessionState::Recording);
    return SessionError::None;
}

void RecordingSession::Stop() {
    if (Recording()) {
        FinishRecording();
    }
}

void RecordingSession::FinishRecording(bool told) {
    m_shared.recording.store(0);
    // A delivery that saw the flag still set finishes its hand-over first.
    ::Sleep(100);
    EndWriting(told);
    // A capture that is waited for still is, now without a recording.
    Enter(m_state == SessionState::Recording ? SessionState::Monitoring : SessionState::Recovering);
}

SessionError RecordingSession::Select(const EndpointEntry& entry) {
    // The device must never change under a running recording.
    if (Recording() || (m_selected >= 0 && same_source(entry, m_selection))) {
        return SessionError::None;
    }
    m_selection = entry;
    m_selected = find_source(m_devices, m_selection);
    ++m_changes;
    // The user's choice ends a wait for the device before it.
    StopRecovering();
    WatchDevices();
    return OpenSelectedCapture();
}

void RecordingSession::SetFolder(const WCHAR* folder) {
    wcsncpy(m_folder, folder, RECORDING_PATH_UNITS - 1);
    m_folder[RECORDING_PATH_UNITS - 1] = 0;
}

int32_t RecordingSession::BitRateUsed() const {
    // A device at 8 to 24 kHz can't carry the higher rates, and the encoder
    // takes the nearest it can. The choice itself stays, for a device that can.
    if (!Capturing()) {
        return m_bit_rate;
    }
    return mp3_writer_bit_rate_used(m_sample_rate, m_shared.channels.load(), m_bit_rate);
}

int32_t RecordingSession::TakeLevels(float* peaks, int32_t capacity) {
    return recorder_take_levels(&m_shared, peaks, capacity);
}

// The capture.

SessionError RecordingSession::OpenSelectedCapture() {
    CloseCapture();
    const int32_t result = CreateSelectedCapture();
    if (result == 0) {
        capture_start(m_capture);
    }
    // Never while recording, nor while a capture is waited for: the devices
    // are opened afresh, at the start or by the user's choice.
    Enter(result == 0 ? SessionState::Monitoring : SessionState::NoCapture);
    return result == 0 ? SessionError::None : CaptureError();
}

// What the user is told of a selection that could not be captured: a
// microphone that the system's privacy settings keep from the program can be
// allowed there.
SessionError RecordingSession::CaptureError() const {
    return m_selection.flow == 1 && m_open_failure == E_ACCESSDENIED
               ? SessionError::MicrophoneDenied
               : SessionError::Capture;
}

int32_t RecordingSession::CreateSelectedCapture() {
    const EndpointEntry& entry = m_selection;
    m_open_failure = E_FAIL;
    if (m_devices.count == 0) {
        return -1; // nothing was ever listed, not even the defaults
    }
    if (capture_create(&m_capture, entry.is_default ? nullptr : entry.device_id, entry.flow,
                       m_audio, &m_open_failure) != 0) {
        return -1;
    }
    capture_set_callback(m_capture, on_samples, &m_shared);
    capture_set_notify(m_capture, m_window, WM_CAPTURE_FAILED);

    uint32_t rate = 0;
    uint32_t channels = 0;
    m_sample_rate = 0;
    m_shared.channels.store(0);
    capture_get_format(m_capture, &rate, &channels);
    m_sample_rate = static_cast<int32_t>(rate);
    m_shared.channels.store(static_cast<int32_t>(channels));
    ++m_changes; // the bit rate a recording gets follows the format
    return rate == 0 || channels == 0 ? -1 : 0;
}

void RecordingSession::CloseCapture() {
    for (CaptureStream** stream : {&m_arriving, &m_capture}) {
        if (*stream != nullptr) {
            capture_stop(*stream);
            capture_destroy(stream);
        }
    }
}

// Opens the selection again, closing what is open. A running recording goes
// on: in the same file when the format is the same, else in a new file named
// after this moment (a failure to begin it in *failure). 0, or -1 with
// nothing open.
int32_t RecordingSession::ReopenCapture(SessionError* failure) {
    const int32_t rate = m_sample_rate;
    const int32_t channels = m_shared.channels.load();
    // The old stream's thread has ended here, so nothing is delivered while
    // the writer may change.
    CloseCapture();
    if (CreateSelectedCapture() != 0) {
        CloseCapture();
        // The format the writer was opened with stays the session's while
        // the recording waits for a capture.
        m_sample_rate = rate;
        m_shared.channels.store(channels);
        // A recording without a capture waits for it to come back.
        Enter(Recording() ? SessionState::RecordingRecovering
              : Waiting() ? SessionState::Recovering
                          : SessionState::NoCapture);
        return -1;
    }
    if (Recording() && (m_sample_rate != rate || m_shared.channels.load() != channels)) {
        *failure = NextFile();
    }
    capture_start(m_capture);
    // A new file that could not begin ended the recording.
    Enter(Recording() && *failure == SessionError::None ? SessionState::Recording
                                                        : SessionState::Monitoring);
    return 0;
}

// After the capture was lost: opens it again at once if it can, waits a few
// seconds for a default device or the audio service to come back, and
// otherwise gives up.
SessionError RecordingSession::RecoverCapture(HRESULT why) {
    SessionError failure = SessionError::None;
    if (ReopenCapture(&failure) == 0) {
        StopRecovering();
        return failure;
    }
    // A default device is replaced, and a restarted audio service brings the
    // devices back: both are worth a few seconds' wait. A chosen device that
    // has gone is not replaced by another.
    if (m_selection.is_default == 0 && why != AUDCLNT_E_SERVICE_NOT_RUNNING) {
        return GiveUpCapture();
    }
    Enter(Recording() ? SessionState::RecordingRecovering : SessionState::Recovering);
    return SessionError::None;
}

void RecordingSession::StopRecovering() {
    if (m_state == SessionState::Recovering) {
        Enter(SessionState::NoCapture);
    }
}

// A capture that could not be had back: the recording is completed and the
// session stays without a capture.
SessionError RecordingSession::GiveUpCapture() {
    CloseCapture();
    if (Recording()) {
        FinishRecording();
    }
    Enter(SessionState::NoCapture);
    return CaptureError();
}

// The default device moved during a capture: the new one is opened beside the
// running capture, which goes on feeding the meter and the file until the new
// one delivers (make before break, so that a device that starts slowly costs
// the recording no time). A new default that never delivers (a suspended
// microphone, say) never takes over: the old device keeps the recording for
// as long as it delivers. 0, or -1 when the new one can't be opened.
int32_t RecordingSession::OpenArriving() {
    if (m_arriving != nullptr) {
        capture_stop(m_arriving);
        capture_destroy(&m_arriving);
    }
    uint32_t rate = 0;
    uint32_t channels = 0;
    if (capture_create(&m_arriving, nullptr, m_selection.flow, m_audio) != 0 ||
        capture_get_format(m_arriving, &rate, &channels) != 0 || rate == 0 || channels == 0) {
        capture_destroy(&m_arriving);
        return -1;
    }
    m_shared.arrived.store(0);
    capture_set_callback(m_arriving, on_samples_arriving, &m_shared);
    capture_set_notify(m_arriving, m_window, WM_CAPTURE_FAILED);
    capture_start(m_arriving);
    return 0;
}

// The arriving capture takes over: the old one's sound ends and the new one's
// begins, in a new file when the format changed.
SessionError RecordingSession::TakeArriving() {
    if (m_arriving == nullptr) {
        return SessionError::None;
    }
    // The old capture feeds nothing from here on: a delivery of it that read
    // the callback already has ended when the callback is taken away.
    if (m_capture != nullptr) {
        capture_set_callback(m_capture, nullptr, &m_shared);
    }
    recorder_wait_for_deliveries(&m_shared);
    uint32_t rate = 0;
    uint32_t channels = 0;
    capture_get_format(m_arriving, &rate, &channels);
    const bool same_format = static_cast<int32_t>(rate) == m_sample_rate &&
                             static_cast<int32_t>(channels) == m_shared.channels.load();
    m_sample_rate = static_cast<int32_t>(rate);
    m_shared.channels.store(static_cast<int32_t>(channels));
    const SessionError failure = Recording() && !same_format ? NextFile() : SessionError::None;
    capture_set_callback(m_arriving, on_samples, &m_shared);
    CaptureStream* old = m_capture;
    m_capture = m_arriving;
    m_arriving = nullptr;
    if (old != nullptr) {
        capture_stop(old);
        capture_destroy(&old);
    }
    ++m_changes; // the format, and with it the bit rate a recording gets
    Enter(Recording() && failure == SessionError::None ? SessionState::Recording
                                                       : SessionState::Monitoring);
    return failure;
}

bool RecordingSession::OnMessage(UINT message, WPARAM wparam, LPARAM lparam, SessionError* error) {
    switch (message) {
    case WM_RECORD_WRITE_FAILED:
        *error = OnWriteFailed();
        return true;
    case WM_RECORD_FINISHED:
        *error = OnRecordFinished(reinterpret_cast<const WriterThread*>(lparam));
        return true;
    case WM_TIMER:
        // Only the session's own: another timer of the window is the window's.
        if (wparam != kRecoverTimer && wparam != kWatchTimer) {
            return false;
        }
        break;
    case WM_CAPTURE_FAILED:
    case WM_DEVICES_CHANGED:
    case WM_CAPTURE_ARRIVED:
        break;
    default:
        return false;
    }
    // Once closed, only the files still being completed concern the
    // session: news of the devices and captures posted before the close
    // would open a capture again while the window waits to go.
    if (m_state == SessionState::Closed) {
        return true;
    }
    switch (message) {
    case WM_CAPTURE_FAILED:
        *error = OnCaptureFailed();
        break;
    case WM_DEVICES_CHANGED:
        *error = OnDevicesChanged();
        break;
    case WM_CAPTURE_ARRIVED:
        *error = OnCaptureArrived();
        break;
    default:
        *error = OnTimer(static_cast<UINT_PTR>(wparam));
    }
    return true;
}

SessionError RecordingSession::OnCaptureArrived() {
    if (m_arriving != nullptr && m_shared.arrived.load() == 1) {
        return TakeArriving();
    }
    return SessionError::None;
}

SessionError RecordingSession::OnCaptureFailed() {
    if (m_arriving != nullptr && capture_failure(m_arriving) != S_OK) {
        // The new default went again before it delivered: the running
        // capture goes on, and the next change of the devices is followed.
        capture_stop(m_arriving);
        capture_destroy(&m_arriving);
    }
    // A message from a stream closed since is not about this one.
    const HRESULT why = capture_failure(m_capture);
    if (m_capture == nullptr || why == S_OK) {
        return SessionError::None;
    }
    if (m_arriving != nullptr && m_shared.arrived.load() == 1) {
        return TakeArriving(); // the new one delivers: it takes over now
    }
    // Gone before a successor delivered: the recording waits for the
    // default, from a stream of its own, as after any lost capture.
    CloseCapture();
    return RecoverCapture(why);
}

SessionError RecordingSession::OnTimer(UINT_PTR id) {
    if (id == kWatchTimer) {
        ::KillTimer(m_window, kWatchTimer);
        WatchDevices(); // sets it again while it can't
        // The service is there: its devices, and the capture of the chosen
        // one, as for any change of the devices.
        return m_events != nullptr ? OnDevicesChanged() : SessionError::None;
    }
    if (id != kRecoverTimer) {
        return SessionError::None;
    }
    if (!Waiting()) {
        ::KillTimer(m_window, kRecoverTimer);
        return SessionError::None;
    }
    WatchDevices();
    SessionError failure = SessionError::None;
    if (ReopenCapture(&failure) == 0) {
        StopRecovering();
    } else if (std::chrono::steady_clock::now() - m_lost_at >=
               std::chrono::milliseconds(kRecoverDeadlineMs)) {
        return GiveUpCapture();
    }
    return failure;
}

// The devices.

void RecordingSession::WatchDevices() {
    if (m_events != nullptr) {
        return;
    }
    // Without the audio service there is nothing to watch yet (started
    // before it, at a login say): the session tries again until there is.
    if (m_audio == nullptr) {
        audio_devices_open(&m_audio);
    }
    if (m_audio == nullptr ||
        device_events_open(&m_events, m_window, WM_DEVICES_CHANGED, m_audio) != 0 ||
        m_events == nullptr) {
        ::SetTimer(m_window, kWatchTimer, kWatchRetryMs, nullptr);
    }
}

// Reads the devices afresh; the selection stays on the same device.
void RecordingSession::RefreshDevices() {
    EndpointList fresh{};
    endpoint_list_add_defaults(&fresh);
    enumerate_all_endpoints(&fresh, m_audio);
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
    }
    ++m_changes;
}

SessionError RecordingSession::OnDevicesChanged() {
    device_events_rearm(m_events);
    RefreshDevices();
    SessionError failure = SessionError::None;
    if (!Capturing()) {
        // Lost, or never had: the selection may be back. A chosen device
        // that is still missing is not tried.
        if (m_selected >= 0 && ReopenCapture(&failure) == 0) {
            StopRecovering();
        }
        return failure;
    }
    if (m_selection.is_default == 0) {
        return failure;
    }
    // No default at all: the open stream goes on until it fails, which it
    // does when its device went.
    WCHAR now_default[CAPTURE_TEXT_UNITS];
    const CaptureStream* next = m_arriving != nullptr ? m_arriving : m_capture;
    if (capture_default_id(m_selection.flow, now_default, m_audio) == 0 &&
        wcscmp(now_default, capture_endpoint_id(next)) != 0 && OpenArriving() != 0) {
        return RecoverCapture(S_OK); // opens the new default the plain way, or waits for it
    }
    return failure;
}

// A recording's file.

// Reserves a file named after `when` in the folder, opens a writer on it with
// the capture's format and its writer thread, and sets the recording flag.
// What the user must be told when it can't (and no file is left then).
SessionError RecordingSession::BeginWriting(const SYSTEMTIME& when) {
    Mp3Writer* writer = nullptr;
    FILE* file = nullptr;
    bool too_long = false;
    if (ReserveRecordingFile(m_path, m_folder, when, &file) == 0) {
        // The writer writes to the file just created, never to whatever the
        // name may have been made to point at since.
        writer = mp3_writer_open_file(file, m_sample_rate, m_shared.channels.load(), m_bit_rate);
    } else {
        // Not the encoder's fault, nor the folder's: the user can choose one
        // with a shorter path.
        too_long = ::GetLastError() == ERROR_FILENAME_EXCED_RANGE;
    }
    WriterThread* thread = writer_thread_start(writer, m_window, WM_RECORD_WRITE_FAILED);
    if (thread == nullptr) {
        // The empty file reserved for the recording is no recording.
        if (m_path[0] != 0) {
            ::DeleteFileW(m_path);
        }
        m_path[0] = L'\0';
        return too_long ? SessionError::PathTooLong : SessionError::EncoderOpen;
    }
    // The writer thread is in place before the flag lets the capture use it.
    m_shared.writer.store(thread);
    m_shared.recording.store(1);
    return SessionError::None;
}

// Clears the recording flag, waits for deliveries in progress and tells the
// writer thread to complete the file; it says when it has, with
// WM_RECORD_FINISHED. Never waits for the disk. `told`: the user knows
// already that the file is not whole.
void RecordingSession::EndWriting(bool told) {
    m_shared.recording.store(0);
    recorder_wait_for_deliveries(&m_shared);
    WriterThread* thread = m_shared.writer.exchange(nullptr);
    if (thread == nullptr) {
        return;
    }
    Finishing file{thread, {}, told};
    wcscpy(file.path, m_path);
    m_finishing.push_back(file);
    writer_thread_end(thread, m_window, WM_RECORD_FINISHED);
}

SessionError RecordingSession::NextFile() {
    EndWriting(); // completed in the background; a failure is told when it is
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return BeginWriting(now);
}

SessionError RecordingSession::OnWriteFailed() {
    // A Stop that came first has said it already, and a message left from an
    // earlier recording is not about this one.
    const WriterThread* writer = m_shared.writer.load();
    if (!Recording() || !writer_thread_failed(writer)) {
        return SessionError::None;
    }
    FinishRecording(true);
    return SessionError::Write;
}

SessionError RecordingSession::OnRecordFinished(const WriterThread* thread) {
    auto file = std::find_if(m_finishing.begin(), m_finishing.end(),
                             [thread](const Finishing& f) { return f.thread == thread; });
    if (file == m_finishing.end()) {
        return SessionError::None;
    }
    const Finishing done = *file;
    m_finishing.erase(file);
    const int32_t result = writer_thread_finish(done.thread); // has ended: no wait
    if (result == MP3_WRITER_NOTHING_WRITTEN) {
        // Not a byte could be written (a full disk at Start): no file at all
        // is better than an empty one that looks like a recording.
        ::DeleteFileW(done.path);
    }
    return result != 0 && !done.told ? SessionError::Write : SessionError::None;
}
