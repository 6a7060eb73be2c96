// The capture layer against a private sound server: the device list as the
// server has it, and streams whose packets travel through the sink into MP3
// files that decode to what was played.
#include <gtest/gtest.h>

#include <math.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "capture_stream.h"
#include "endpoints.h"
#include "mp3_decode.h"
#include "pulse_server.h"
#include "sample_sink.h"
#include "signals.h"
#include "temp_dir.h"

namespace {

auto* const pulse_env = ::testing::AddGlobalTestEnvironment(new PulseServerEnvironment());

PulseServer& server() {
    return PulseServerEnvironment::server();
}

std::wstring wide(const std::string& utf8) {
    std::wstring out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = utf8[i];
        int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        wchar_t v = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra; ++k) {
            v = (v << 6) | (utf8[i + k] & 0x3F);
        }
        out.push_back(v);
        i += extra + 1;
    }
    return out;
}

// What a capture delivered: every packet's length checked against the
// format, and the samples kept for a look at the sound.
struct Recorded {
    std::mutex lock;
    uint32_t channels = 0;
    std::atomic<int> packets{0};
    std::atomic<int> bad_lengths{0};
    std::atomic<int> after_stop{0};
    std::atomic<bool> stopped{false};
    std::vector<float> samples;
};

int32_t record(void* user, const float* samples, int32_t byte_count) {
    auto* r = static_cast<Recorded*>(user);
    if (r->stopped) {
        ++r->after_stop;
    }
    ++r->packets;
    if (byte_count <= 0 || byte_count % (4 * r->channels) != 0) {
        ++r->bad_lengths;
    }
    std::lock_guard guard(r->lock);
    r->samples.insert(r->samples.end(), samples, samples + byte_count / 4);
    return 0;
}

// The part of a signal where something plays: from the first to the last
// value above `threshold`.
std::vector<float> loud_part(const std::vector<float>& mono, float threshold = 0.05f) {
    size_t first = 0, last = mono.size();
    while (first < mono.size() && fabsf(mono[first]) < threshold) {
        ++first;
    }
    while (last > first && fabsf(mono[last - 1]) < threshold) {
        --last;
    }
    return std::vector<float>(mono.begin() + first, mono.begin() + last);
}

std::vector<float> channel_of(const std::vector<float>& interleaved, uint32_t channels,
                              uint32_t c) {
    std::vector<float> out;
    for (size_t i = c; i < interleaved.size(); i += channels) {
        out.push_back(interleaved[i]);
    }
    return out;
}

class Capture : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server().running()) << server().error();
        server().use();
        ASSERT_GE(CoInitialize(nullptr), 0);
    }
    void TearDown() override { CoUninitialize(); }

    // The id of the endpoint a listed entry carries, by friendly name.
    std::wstring id_of(const char* description) {
        EndpointList list{};
        enumerate_all_endpoints(&list);
        std::wstring id;
        for (int32_t i = 0; i < list.count; ++i) {
            if (wide(description) == list.entries[i].friendly_name) {
                id = list.entries[i].device_id;
            }
        }
        endpoint_list_free(&list);
        return id;
    }
};

TEST_F(Capture, ListHoldsDefaultsThenOutputsThenInputsAsTheServerOrdersThem) {
    EndpointList list{};
    ASSERT_EQ(endpoint_list_add_defaults(&list), 0);
    ASSERT_EQ(enumerate_all_endpoints(&list), 0);

    const std::vector<std::pair<int, const char*>> expected = {
        {0, PulseServer::kStereoDescription}, {0, PulseServer::kSurroundDescription},
        {0, PulseServer::kAccentDescription}, {0, PulseServer::kMicFeedDescription},
        {1, PulseServer::kMicDescription}, // the monitors are not inputs
    };
    ASSERT_EQ(list.count, 2 + static_cast<int32_t>(expected.size()));
    EXPECT_EQ(list.entries[0].is_default, 1);
    EXPECT_EQ(list.entries[1].is_default, 1);
    for (size_t i = 0; i < expected.size(); ++i) {
        const EndpointEntry& e = list.entries[2 + i];
        SCOPED_TRACE(expected[i].second);
        EXPECT_EQ(e.flow, expected[i].first);
        EXPECT_EQ(e.is_default, 0);
        EXPECT_NE(e.device_id[0], 0);
        EXPECT_EQ(std::wstring(e.friendly_name), wide(expected[i].second));
        const std::wstring prefix = e.flow == 0 ? L"电脑输出   ：" : L"麦克风输入 ：";
        EXPECT_EQ(std::wstring(e.display_text), prefix + wide(expected[i].second));
    }
    endpoint_list_free(&list);
}

// Names and ids the fixed buffers can't hold: a long name is cut, never
// overrun, and the entry stays usable.
TEST_F(Capture, LongNamesAreCutAndEndpointsStayListed) {
    std::string long_name(3000, 'x');
    int module = server().load_module(
        "module-null-sink", "sink_name=longname sink_properties=device.description=" + long_name);
    ASSERT_GE(module, 0);
    EndpointList list{};
    enumerate_endpoints(&list, false);
    bool found = false;
    for (int32_t i = 0; i < list.count; ++i) {
        if (list.entries[i].friendly_name[0] == L'x') {
            found = true;
            EXPECT_EQ(wcslen(list.entries[i].friendly_name), 1023u);
            EXPECT_EQ(wcslen(list.entries[i].display_text), 1023u);
            CaptureStream* stream = nullptr;
            EXPECT_EQ(capture_create(&stream, list.entries[i].device_id, 0), 0);
            capture_stop(stream);
            capture_destroy(&stream);
        }
    }
    EXPECT_TRUE(found);
    endpoint_list_free(&list);
    server().unload_module(module);
}

TEST_F(Capture, UnknownAndEmptyIdsGiveNoStream) {
    CaptureStream* stream = reinterpret_cast<CaptureStream*>(1);
    EXPECT_EQ(capture_create(&stream, L"", 0), -1);
    EXPECT_EQ(stream, nullptr);
    stream = reinterpret_cast<CaptureStream*>(1);
    EXPECT_EQ(capture_create(&stream, L"no such device", 1), -1);
    EXPECT_EQ(stream, nullptr);
    std::wstring too_long(5000, L'a');
    EXPECT_EQ(capture_create(&stream, too_long.c_str(), 0), -1);
    EXPECT_EQ(stream, nullptr);
}

// Loopback of a played tone: the callback gets whole frames in the device's
// format, and the sound is the tone at the level it was played.
TEST_F(Capture, LoopbackDeliversWhatThePlayerPlays) {
    CaptureStream* stream = nullptr;
    ASSERT_EQ(capture_create(&stream, nullptr, 0), 0); // the default output: stereo48
    uint32_t rate = 0, channels = 0;
    capture_get_format(stream, &rate, &channels);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(channels, 2u);

    Recorded recorded;
    recorded.channels = channels;
    recorded.samples.reserve(48000 * 2 * 8);
    capture_set_callback(stream, record, &recorded);
    ASSERT_EQ(capture_start(stream), 0);
    auto tone = server().play_tone(PulseServer::kStereoSink, ToneSpec{});
    tone->wait();
    EXPECT_TRUE(tone->ok());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(capture_stop(stream), 0);
    recorded.stopped = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(recorded.after_stop, 0);
    EXPECT_EQ(recorded.bad_lengths, 0);
    EXPECT_EQ(capture_destroy(&stream), 0);
    EXPECT_EQ(stream, nullptr);

    // Packets come at the engine's pace (about 10 ms), not in large chunks.
    EXPECT_GT(recorded.packets, 100);
    for (uint32_t c = 0; c < 2; ++c) {
        std::vector<float> sound = loud_part(channel_of(recorded.samples, 2, c));
        ASSERT_GT(sound.size(), 48000u) << "channel " << c;
        EXPECT_NEAR(zero_crossing_frequency(sound, 48000), 1000.0, 5.0);
        EXPECT_NEAR(rms(middle(sound, 4800)), 0.5 * 0.70710678, 0.02);
    }
}

// From the device to the file: the capture, the sink and the writer, as the
// window joins them.
struct EndToEnd {
    const char* sink;        // where the tone is played
    const char* description; // the device opened (empty: the default)
    int32_t is_capture;
    uint32_t device_rate, device_channels;
    int expected_file_channels;
};

class CaptureToFile : public Capture, public testing::WithParamInterface<EndToEnd> {};

TEST_P(CaptureToFile, RecordingDecodesToThePlayedTone) {
    const EndToEnd& c = GetParam();
    std::wstring id = c.description[0] ? id_of(c.description) : L"";
    CaptureStream* stream = nullptr;
    ASSERT_EQ(capture_create(&stream, id.empty() ? nullptr : id.c_str(), c.is_capture), 0);
    uint32_t rate = 0, channels = 0;
    capture_get_format(stream, &rate, &channels);
    EXPECT_EQ(rate, c.device_rate);
    EXPECT_EQ(channels, c.device_channels);

    TempDir dir;
    RecorderState state;
    HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    state.hwnd = window;
    state.channels = static_cast<int32_t>(channels);
    Mp3Writer* writer = mp3_writer_open(dir.wfile("take.mp3").c_str(), static_cast<int32_t>(rate),
                                        static_cast<int32_t>(channels), 192000);
    ASSERT_NE(writer, nullptr);
    state.writer = writer;
    state.recording = 1;
    capture_set_callback(stream, on_samples, &state);
    ASSERT_EQ(capture_start(stream), 0);
    auto tone = server().play_tone(c.sink, ToneSpec{});
    tone->wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    state.recording = 0;
    Sleep(100);
    recorder_wait_for_deliveries(&state);
    ASSERT_EQ(mp3_writer_close(writer), 0);
    capture_stop(stream);
    capture_destroy(&stream);

    int updates = 0;
    MSG msg;
    while (PeekMessageW(&msg, window, WM_LEVEL_UPDATE, WM_LEVEL_UPDATE, PM_REMOVE)) {
        ++updates;
    }
    DestroyWindow(window);
    // About one block per 1025 values of the three seconds played.
    EXPECT_GT(updates, static_cast<int>(rate * channels * 2 / 1025));

    DecodedMp3 mp3 = decode_mp3(dir.file("take.mp3"));
    ASSERT_TRUE(mp3.ok) << mp3.error;
    EXPECT_EQ(mp3.channels, c.expected_file_channels);
    for (int ch = 0; ch < mp3.channels; ++ch) {
        std::vector<float> sound = loud_part(mp3.channel(ch));
        ASSERT_GT(sound.size(), static_cast<size_t>(mp3.rate)) << "channel " << ch;
        EXPECT_NEAR(zero_crossing_frequency(middle(sound, 2048), mp3.rate), 1000.0, 5.0);
        EXPECT_GT(tone_energy_share(middle(sound, 2048), mp3.rate, 1000.0), 0.9);
    }
}

INSTANTIATE_TEST_SUITE_P(Capture, CaptureToFile,
                         testing::Values(EndToEnd{PulseServer::kStereoSink, "", 0, 48000, 2, 2},
                                         EndToEnd{PulseServer::kMicFeedSink, "", 1, 16000, 1, 1},
                                         EndToEnd{PulseServer::kSurroundSink,
                                                  PulseServer::kSurroundDescription, 0, 96000, 6,
                                                  2}),
                         [](const testing::TestParamInfo<EndToEnd>& p) {
                             return std::string(p.param.is_capture ? "Microphone" : "Loopback") +
                                    std::to_string(p.param.device_channels) + "ch";
                         });

// With nothing playing, loopback goes on delivering silence, because the
// stream's own silent playback keeps the device running; that playback
// exists while the stream lives and is gone with it.
TEST_F(Capture, LoopbackOfAQuietDeviceDeliversSilence) {
    auto silent_streams = [] {
        int n = 0;
        for (const SinkInput& input : server().sink_inputs()) {
            n += input.sink == PulseServer::kAccentSink;
        }
        return n;
    };
    ASSERT_EQ(silent_streams(), 0);
    CaptureStream* stream = nullptr;
    ASSERT_EQ(capture_create(&stream, id_of(PulseServer::kAccentDescription).c_str(), 0), 0);
    EXPECT_EQ(silent_streams(), 1);
    Recorded recorded;
    recorded.channels = 2;
    capture_set_callback(stream, record, &recorded);
    ASSERT_EQ(capture_start(stream), 0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    capture_stop(stream);
    EXPECT_GT(recorded.packets, 20);
    EXPECT_EQ(recorded.bad_lengths, 0);
    EXPECT_EQ(rms(recorded.samples), 0.0);
    EXPECT_GT(recorded.samples.size(), 44100u); // at least half of the two seconds
    capture_destroy(&stream);
    EXPECT_EQ(silent_streams(), 0);
}

// Stop: quick when idle, no callback after it returns, no wait for a stream
// that never started, and no leak or race over many rounds.
TEST_F(Capture, StartAndStopRoundsLeakNothingAndEndCallbacks) {
    const std::wstring mic = id_of(PulseServer::kMicDescription);
    CaptureStream* never_started = nullptr;
    ASSERT_EQ(capture_create(&never_started, mic.c_str(), 1), 0);
    EXPECT_EQ(capture_stop(never_started), 0);
    EXPECT_EQ(capture_destroy(&never_started), 0);

    for (int round = 0; round < 50; ++round) {
        CaptureStream* stream = nullptr;
        ASSERT_EQ(capture_create(&stream, round % 2 ? mic.c_str() : nullptr, round % 2), 0);
        Recorded recorded;
        recorded.channels = round % 2 ? 1 : 2;
        // Every other round without a callback: packets are taken all the same.
        capture_set_callback(stream, round % 4 < 2 ? record : nullptr, &recorded);
        ASSERT_EQ(capture_start(stream), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(capture_stop(stream), 0);
        recorded.stopped = true;
        EXPECT_EQ(capture_destroy(&stream), 0);
        EXPECT_EQ(recorded.after_stop, 0);
        EXPECT_EQ(recorded.bad_lengths, 0);
    }
}

// A device that goes away and a server that dies: the stream falls quiet,
// and stop and destroy still work.
TEST_F(Capture, DeviceOrServerGoneMidCapture) {
    int module = server().load_module(
        "module-null-sink", "sink_name=unplugged sink_properties=device.description=Gone");
    ASSERT_GE(module, 0);
    CaptureStream* stream = nullptr;
    ASSERT_EQ(capture_create(&stream, id_of("Gone").c_str(), 0), 0);
    Recorded recorded;
    recorded.channels = 2;
    capture_set_callback(stream, record, &recorded);
    ASSERT_EQ(capture_start(stream), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(server().unload_module(module));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(capture_stop(stream), 0);
    EXPECT_EQ(capture_destroy(&stream), 0);

    ASSERT_EQ(capture_create(&stream, nullptr, 0), 0);
    capture_set_callback(stream, record, &recorded);
    ASSERT_EQ(capture_start(stream), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    server().kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(capture_stop(stream), 0);
    EXPECT_EQ(capture_destroy(&stream), 0);

    // Without a server nothing can be listed or opened, and nothing hangs.
    EndpointList list{};
    EXPECT_EQ(enumerate_endpoints(&list, false), -1);
    EXPECT_EQ(enumerate_endpoints(&list, true), -1);
    EXPECT_EQ(list.count, 0);
    EXPECT_EQ(capture_create(&stream, nullptr, 0), -1);
    EXPECT_EQ(stream, nullptr);
    // Later tests get a fresh server.
    ASSERT_TRUE(server().start()) << server().error();
}

} // namespace
