// The recording session without the main window: a plain window receives
// what its threads post, and the test hands each message back to it as the
// main window does, keeping the failures it says the user must be told of.
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mp3_decode.h"
#include "pulse_server.h"
#include "recording_session.h"
#include "temp_dir.h"
#include "tone_checks.h"
#include "window_messages.h"

namespace {

namespace fs = std::filesystem;

class SessionHost {
  public:
    SessionHost()
        : window_(CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr)) {
        PulseServerEnvironment::server().use();
        CoInitialize(nullptr);
    }
    ~SessionHost() {
        session.Close();
        session.CompleteFilesNow();
        DestroyWindow(window_);
        CoUninitialize();
    }
    HWND window() const { return window_; }

    // Hands the window's messages to the session until `done`, at most `ms`.
    template <typename Done> bool pump_until(int ms, Done done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            MSG msg;
            while (PeekMessageW(&msg, window_, 0, 0, PM_REMOVE)) {
                hand_on(msg);
            }
            if (done()) {
                return true;
            }
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            Sleep(10);
        }
    }

    RecordingSession session;
    std::vector<SessionError> told;

  private:
    void hand_on(const MSG& msg) {
        SessionError error = SessionError::None;
        if (msg.message == WM_LEVEL_UPDATE) {
            float peaks[LEVEL_RING_BLOCKS];
            session.TakeLevels(peaks, LEVEL_RING_BLOCKS);
        } else if (session.OnMessage(msg.message, msg.wParam, msg.lParam, &error) &&
                   error != SessionError::None) {
            told.push_back(error);
        }
    }

    HWND window_;
};

int32_t index_of(const EndpointList& list, const std::wstring& id) {
    for (int32_t i = 0; i < list.count; ++i) {
        if (id == list.entries[i].device_id) {
            return i;
        }
    }
    return -1;
}

// Monitoring, recording, the server gone and back within one file, the end
// of the recording, and a chosen device that goes for good: each a state of
// its own, and only the last one a failure the user is told of, once.
TEST(RecordingSession, ItsStateFollowsTheRecordingTheServerAndTheDevice) {
    PulseServer& server = PulseServerEnvironment::server();
    TempDir folder;
    SessionHost host;
    RecordingSession& session = host.session;
    session.SetFolder(folder.path().wstring().c_str());
    ASSERT_EQ(session.Open(host.window()), SessionError::None);
    EXPECT_EQ(session.State(), SessionState::Monitoring);

    ASSERT_EQ(session.Start(), SessionError::None);
    EXPECT_EQ(session.State(), SessionState::Recording);
    const std::wstring path = session.RecordingPath();
    server.play_tone(PulseServer::kStereoSink, ToneSpec{.seconds = 2.0})->wait();

    server.kill();
    ASSERT_TRUE(host.pump_until(10000, [&] {
        return session.State() == SessionState::RecordingRecovering;
    })) << "the recording waits for the server";
    ASSERT_TRUE(server.start()) << server.error();
    ASSERT_TRUE(host.pump_until(15000, [&] { return session.State() == SessionState::Recording; }));
    EXPECT_EQ(session.RecordingPath(), path) << "the same file goes on";

    session.Stop();
    EXPECT_EQ(session.State(), SessionState::Monitoring);
    EXPECT_EQ(session.FilesBeingCompleted(), 1u) << "completed in the background";
    ASSERT_TRUE(host.pump_until(10000, [&] { return session.FilesBeingCompleted() == 0; }));
    expect_tone(decode_mp3(fs::path(path).string()), 1000.0);
    EXPECT_TRUE(host.told.empty());

    const int module = server.load_module("module-null-sink", "sink_name=goes rate=48000");
    ASSERT_GE(module, 0);
    ASSERT_TRUE(host.pump_until(10000, [&] {
        return index_of(session.Devices(), L"sink:goes") >= 0;
    })) << "a new device is listed";
    session.Select(session.Devices().entries[index_of(session.Devices(), L"sink:goes")]);
    EXPECT_EQ(session.State(), SessionState::Monitoring);
    ASSERT_TRUE(server.unload_module(module));
    ASSERT_TRUE(host.pump_until(10000, [&] { return session.State() == SessionState::NoCapture; }));
    host.pump_until(500, [] { return false; });
    EXPECT_EQ(host.told, std::vector<SessionError>{SessionError::Capture});
    EXPECT_EQ(session.SelectedIndex(), -1);

    // Closed, the session follows no more news of the devices: a change
    // told before the close and handled after it opens no capture.
    session.Select(session.Devices().entries[0]);
    ASSERT_EQ(session.State(), SessionState::Monitoring);
    session.Close();
    for (UINT message : {WM_DEVICES_CHANGED, WM_CAPTURE_FAILED, WM_CAPTURE_ARRIVED}) {
        SessionError error = SessionError::None;
        session.OnMessage(message, 0, 0, &error);
        EXPECT_EQ(error, SessionError::None);
    }
    EXPECT_EQ(session.State(), SessionState::Closed);
}

} // namespace
