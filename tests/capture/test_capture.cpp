// The capture layer against the private sound server, in both builds: the
// device list as the platform has it, unknown devices, streams that start
// and stop, and recordings whose packets travel through the sample sink into
// MP3 files that decode to what was played. What differs between the builds
// comes from capture_tests.h.
#include "capture_tests.h"
#include "capture_stream_internal.h"

#include <stdio.h>

#include <algorithm>
#include <chrono>
#include <set>
#include <thread>

#include "mp3_decode.h"
#include "sample_sink.h"
#include "signals.h"
#include "window_messages.h"
#include "temp_dir.h"

namespace {

std::vector<std::wstring> wide_all(const std::vector<std::string>& utf8) {
    std::vector<std::wstring> out;
    for (const std::string& text : utf8) {
        out.push_back(wide(text));
    }
    return out;
}

TEST_F(Capture, ListHoldsDefaultsThenOutputsThenInputs) {
    EndpointList list{};
    ASSERT_EQ(endpoint_list_add_defaults(&list), 0);
    ASSERT_EQ(enumerate_all_endpoints(&list, kOwnEnumerator), 0);
    ASSERT_GE(list.count, 2);
    for (int32_t i = 0; i < 2; ++i) {
        EXPECT_EQ(list.entries[i].is_default, 1);
        EXPECT_EQ(list.entries[i].flow, i);
    }

    std::vector<std::wstring> outputs, inputs;
    std::set<std::wstring> ids;
    for (int32_t i = 2; i < list.count; ++i) {
        const EndpointEntry& e = list.entries[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(e.is_default, 0);
        EXPECT_NE(e.device_id[0], 0);
        EXPECT_TRUE(ids.insert(e.device_id).second) << "an id listed twice";
        EXPECT_EQ(std::wstring(e.display_text), display_prefix(e.flow) + e.friendly_name);
        if (e.flow == 0) {
            EXPECT_TRUE(inputs.empty()) << "an output listed after an input";
            outputs.push_back(e.friendly_name);
        } else {
            EXPECT_EQ(e.flow, 1);
            inputs.push_back(e.friendly_name);
        }
    }
    endpoint_list_free(&list);

    const ExpectedList expected = expected_device_list();
    std::vector<std::wstring> expected_outputs = wide_all(expected.outputs);
    std::vector<std::wstring> expected_inputs = wide_all(expected.inputs);
    if (!expected.in_server_order) {
        for (auto* names : {&outputs, &inputs, &expected_outputs, &expected_inputs}) {
            std::sort(names->begin(), names->end());
        }
    }
    EXPECT_EQ(outputs, expected_outputs);
    EXPECT_EQ(inputs, expected_inputs);
}

TEST_F(Capture, UnknownAndEmptyIdsGiveNoStream) {
    CaptureStream* stream = reinterpret_cast<CaptureStream*>(1);
    EXPECT_EQ(capture_create(&stream, L"", 0, kOwnEnumerator), -1);
    EXPECT_EQ(stream, nullptr);
    stream = reinterpret_cast<CaptureStream*>(1);
    EXPECT_EQ(capture_create(&stream, L"no such device", 1, kOwnEnumerator), -1);
    EXPECT_EQ(stream, nullptr);
    std::wstring too_long(5000, L'a');
    stream = reinterpret_cast<CaptureStream*>(1);
    EXPECT_EQ(capture_create(&stream, too_long.c_str(), 0, kOwnEnumerator), -1);
    EXPECT_EQ(stream, nullptr);
}

// Records the test tone played into the default output: starts the stream,
// plays the tone, waits for its last packets and stops.
void record_default_output_tone(CaptureStream* stream, Recorded& recorded) {
    capture_set_callback(stream, record, &recorded);
    ASSERT_EQ(capture_start(stream), 0);
    auto tone = play_test_tone({test_devices::kStereoSink, test_devices::kStereoDescription});
    EXPECT_TRUE(tone->wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(capture_stop(stream), 0);
}

// Loopback of a played tone on the default output: the callback gets whole
// frames in the device's format at the engine's pace, none after Stop, and
// the sound is the tone at the level it was played.
TEST_F(Capture, LoopbackDeliversWhatThePlayerPlays) {
    CaptureStream* stream = nullptr;
    // The default output: stereo48.
    ASSERT_EQ(capture_create(&stream, nullptr, 0, kOwnEnumerator), 0);
    uint32_t rate = 0, channels = 0;
    capture_get_format(stream, &rate, &channels);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(channels, 2u);

    Recorded recorded;
    recorded.channels = channels;
    recorded.samples.reserve(48000 * 2 * 8);
    record_default_output_tone(stream, recorded);
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
        const double hz = zero_crossing_frequency(sound, 48000);
        const double level = rms(middle(sound, 4800));
        EXPECT_NEAR(hz, 1000.0, 5.0);
        EXPECT_NEAR(level, 0.5 * 0.70710678, 0.02);
        // Peak level in dBFS: a sine's peak is its rms times the square root of 2.
        printf("loopback channel %u: %u Hz, %u channels, %.0f frames per packet, tone %.1f Hz at "
               "%.2f dBFS\n",
               c, rate, channels,
               static_cast<double>(recorded.samples.size()) / channels / recorded.packets, hz,
               20.0 * log10(level * 1.41421356));
    }
}

// With nothing playing, loopback goes on delivering silence: the stream's
// own silent playback keeps the device running.
TEST_F(Capture, LoopbackOfAQuietDeviceDeliversSilence) {
    CaptureStream* stream = nullptr;
    ASSERT_EQ(
        capture_create(&stream, id_of(test_devices::kAccentDescription).c_str(), 0, kOwnEnumerator),
        0);
    Recorded recorded;
    recorded.channels = 2;
    capture_set_callback(stream, record, &recorded);
    ASSERT_EQ(capture_start(stream), 0);
    std::this_thread::sleep_for(std::chrono::seconds(2));
    EXPECT_EQ(capture_stop(stream), 0);
    EXPECT_GT(recorded.packets, 20);
    EXPECT_EQ(recorded.bad_lengths, 0);
    EXPECT_EQ(rms(recorded.samples), 0.0);
    EXPECT_GT(recorded.samples.size(), 44100u); // at least half of the two seconds
    EXPECT_EQ(capture_destroy(&stream), 0);
}

// Some engines never signal the event of a loopback stream: the capture
// thread then drains on its time-out. Here the thread waits on an event that
// nobody signals, while the engine signals the stream's own.
TEST_F(Capture, AStreamWhoseEventNeverFiresStillDelivers) {
    CaptureStream* stream = nullptr;
    ASSERT_EQ(capture_create(&stream, nullptr, 0, kOwnEnumerator), 0);
    HANDLE engines = stream->event_ready;
    stream->event_ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    Recorded recorded;
    recorded.channels = stream->channels;
    record_default_output_tone(stream, recorded);
    EXPECT_EQ(capture_failure(stream), S_OK) << "a quiet event is no failure";
    CloseHandle(stream->event_ready);
    stream->event_ready = engines;
    EXPECT_EQ(capture_destroy(&stream), 0);

    EXPECT_EQ(recorded.bad_lengths, 0);
    const std::vector<float> sound = loud_part(channel_of(recorded.samples, 2, 0));
    ASSERT_GT(sound.size(), 48000u) << "a second of the tone at least";
    EXPECT_NEAR(zero_crossing_frequency(sound, 48000), 1000.0, 5.0);
}

// What COM answers the capture thread that asks, from within the callback,
// for the single-threaded apartment: RPC_E_CHANGED_MODE (0x80010106) when
// the thread is in the multithreaded one already, S_OK when it was in none.
int32_t ask_apartment(void* user, const float*, int32_t) {
    auto* answer = static_cast<std::atomic<HRESULT>*>(user);
    if (answer->load() == S_FALSE) {
        const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (SUCCEEDED(hr)) {
            CoUninitialize(); // leaves the thread as it found it
        }
        answer->store(hr);
    }
    return 0;
}

// The audio client's calls want their thread in COM: the capture thread
// joins the multithreaded apartment for its life.
TEST_F(Capture, TheCaptureThreadIsInTheMultithreadedApartment) {
    CaptureStream* stream = nullptr;
    ASSERT_EQ(capture_create(&stream, nullptr, 0, kOwnEnumerator), 0);
    std::atomic<HRESULT> answer{S_FALSE}; // not asked yet
    capture_set_callback(stream, ask_apartment, &answer);
    ASSERT_EQ(capture_start(stream), 0);
    // The silent stream keeps loopback delivering.
    for (int waited = 0; waited < 10000 && answer.load() == S_FALSE; waited += 10) {
        Sleep(10);
    }
    EXPECT_EQ(capture_stop(stream), 0);
    EXPECT_EQ(capture_destroy(&stream), 0);
    EXPECT_EQ(answer.load(), static_cast<HRESULT>(0x80010106));
}

// The recordings of both builds: loopback of the default output and of one
// chosen by its name, and the default microphone; then the build's own.
std::vector<EndToEnd> end_to_end_cases() {
    using namespace test_devices;
    const TestSink stereo{kStereoSink, kStereoDescription};
    const TestSink surround{kSurroundSink, kSurroundDescription};
    const TestSink mic_feed{kMicFeedSink, kMicFeedDescription};
    std::vector<EndToEnd> cases = {
        {"Loopback2ch", stereo, "", 0, 48000, 2, 2},
        {"Microphone1ch", mic_feed, "", 1, 16000, 1, 1},
        {"Loopback6ch", surround, kSurroundDescription, 0, 96000, 6, 2},
    };
    for (EndToEnd& c : build_end_to_end_cases()) {
        cases.push_back(std::move(c));
    }
    return cases;
}

// From the device to the file: the capture, the sink and the writer thread,
// as the window joins them.
class CaptureToFile : public Capture, public testing::WithParamInterface<EndToEnd> {};

TEST_P(CaptureToFile, RecordingDecodesToThePlayedTone) {
    const EndToEnd& c = GetParam();
    std::wstring id = c.device.empty() ? L"" : id_of(c.device);
    ASSERT_EQ(id.empty(), c.device.empty()) << "not listed: " << c.device;
    CaptureStream* stream = nullptr;
    ASSERT_EQ(
        capture_create(&stream, id.empty() ? nullptr : id.c_str(), c.is_capture, kOwnEnumerator),
        0);
    uint32_t rate = 0, channels = 0;
    capture_get_format(stream, &rate, &channels);
    EXPECT_EQ(rate, c.device_rate);
    EXPECT_EQ(channels, c.device_channels);

    TempDir dir;
    RecorderState state;
    HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    recorder_attach(&state, window, WM_LEVEL_UPDATE, 0);
    state.channels = static_cast<int32_t>(channels);
    WriterThread* writer = writer_thread_start(
        mp3_writer_open(dir.wfile("take.mp3").c_str(), static_cast<int32_t>(rate),
                        static_cast<int32_t>(channels), 192000),
        nullptr, 0);
    ASSERT_NE(writer, nullptr);
    state.writer = writer;
    state.recording = 1;
    capture_set_callback(stream, on_samples, &state);
    ASSERT_EQ(capture_start(stream), 0);
    // A stream's first packets can come a second or two late (seen under
    // Wine on the remapped microphone); the tone starts once the stream
    // delivers, which the meter's first block shows.
    MSG msg;
    auto delivering = [&] {
        return PeekMessageW(&msg, window, WM_LEVEL_UPDATE, WM_LEVEL_UPDATE, PM_NOREMOVE) != 0;
    };
    for (int waited = 0; waited < 10000 && !delivering(); waited += 10) {
        Sleep(10);
    }
    ASSERT_TRUE(delivering()) << "the stream delivers nothing";
    const uint32_t blocks_before = state.levels.blocks.published();
    auto tone = play_test_tone(c.sink);
    EXPECT_TRUE(tone->wait());
    // Until the capture has delivered as much as was played, and its newest
    // block is quiet again: the tone's end is in (a capture under load can
    // run seconds behind the player).
    const uint32_t tone_blocks = rate * channels * 3 / 1025;
    auto caught_up = [&] {
        return state.levels.blocks.published() - blocks_before >= tone_blocks &&
               state.block_peak.load() < 0.05f;
    };
    for (int waited = 0; waited < 20000 && !caught_up(); waited += 10) {
        Sleep(10);
    }
    EXPECT_TRUE(caught_up()) << "the capture delivers the whole tone";
    state.recording = 0;
    Sleep(100);
    recorder_wait_for_deliveries(&state);
    ASSERT_EQ(writer_thread_finish(writer), 0);
    capture_stop(stream);
    capture_destroy(&stream);

    int updates = 0;
    while (PeekMessageW(&msg, window, WM_LEVEL_UPDATE, WM_LEVEL_UPDATE, PM_REMOVE)) {
        ++updates;
    }
    DestroyWindow(window);
    // Nobody took the levels: one message waits for them all.
    EXPECT_EQ(updates, 1);
    // About one block per 1025 values of the three seconds played.
    EXPECT_GT(static_cast<int>(state.levels.blocks.published()),
              static_cast<int>(rate * channels * 2 / 1025));

    DecodedMp3 mp3 = decode_mp3(dir.file("take.mp3"));
    ASSERT_TRUE(mp3.ok) << mp3.error;
    EXPECT_EQ(mp3.channels, c.file_channels);
    for (int ch = 0; ch < mp3.channels; ++ch) {
        std::vector<float> sound = loud_part(mp3.channel(ch));
        ASSERT_GT(sound.size(), static_cast<size_t>(mp3.rate)) << "channel " << ch;
        EXPECT_NEAR(zero_crossing_frequency(middle(sound, 2048), mp3.rate), 1000.0, 5.0);
        EXPECT_GT(tone_energy_share(middle(sound, 2048), mp3.rate, 1000.0), 0.9);
    }
}

INSTANTIATE_TEST_SUITE_P(Capture, CaptureToFile, testing::ValuesIn(end_to_end_cases()),
                         [](const testing::TestParamInfo<EndToEnd>& p) { return p.param.label; });

// Stop: quick when idle, no callback after it returns, no wait for a stream
// that never started, and no leak or race over many rounds, on every device
// this build records and on the microphone by its id.
TEST_F(Capture, StartAndStopRoundsLeakNothingAndEndCallbacks) {
    const std::wstring mic = id_of(test_devices::kMicDescription);
    ASSERT_FALSE(mic.empty());
    CaptureStream* never_started = nullptr;
    ASSERT_EQ(capture_create(&never_started, mic.c_str(), 1, kOwnEnumerator), 0);
    EXPECT_EQ(capture_stop(never_started), 0);
    EXPECT_EQ(capture_destroy(&never_started), 0);

    struct Device {
        std::wstring id; // empty: the default
        int32_t is_capture;
        uint32_t channels;
    };
    std::vector<Device> devices{{mic, 1, 1}};
    for (const EndToEnd& c : end_to_end_cases()) {
        devices.push_back(
            {c.device.empty() ? L"" : id_of(c.device), c.is_capture, c.device_channels});
    }
    for (int round = 0; round < 50; ++round) {
        const Device& d = devices[round % devices.size()];
        CaptureStream* stream = nullptr;
        ASSERT_EQ(capture_create(&stream, d.id.empty() ? nullptr : d.id.c_str(), d.is_capture,
                                 kOwnEnumerator),
                  0)
            << "round " << round;
        Recorded recorded;
        recorded.channels = d.channels;
        // Every other pair of rounds without a callback: packets are taken all the same.
        capture_set_callback(stream, round % 4 < 2 ? record : nullptr, &recorded);
        ASSERT_EQ(capture_start(stream), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_EQ(capture_stop(stream), 0);
        recorded.stopped = true;
        EXPECT_EQ(capture_destroy(&stream), 0);
        EXPECT_EQ(stream, nullptr);
        EXPECT_EQ(recorded.after_stop, 0);
        EXPECT_EQ(recorded.bad_lengths, 0);
    }
}

} // namespace
