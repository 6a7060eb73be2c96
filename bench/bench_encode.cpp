// What recording costs: ms of CPU per second of audio through the sink and
// the writer, against the same packets handed straight to libmp3lame (the
// floor no wrapper can beat), and the level meter alone.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <stdio.h>
#include <string>
#include <vector>

#include <lame/lame.h>

#include "sample_sink.h"
#include "window_messages.h"
#include "signals.h"
#include "writer_thread_internal.h"

namespace {

constexpr int32_t kRate = 48000;
constexpr int32_t kPacketFrames = 480; // the engine's 10 ms

std::string temp_file(const char* name) {
    return (std::filesystem::temp_directory_path() / name).string();
}

// One second of music-like sound, cut into the engine's packets.
const std::vector<float>& one_second(int32_t channels) {
    static std::vector<float> by_channels[9];
    std::vector<float>& s = by_channels[channels];
    if (s.empty()) {
        s = make_pink_noise(kRate, channels, 7);
    }
    return s;
}

void BM_Floor(benchmark::State& state) {
    const int32_t channels = static_cast<int32_t>(state.range(0));
    const std::vector<float>& audio = one_second(channels);
    lame_t l = lame_init();
    lame_set_in_samplerate(l, kRate);
    lame_set_num_channels(l, channels);
    lame_set_out_samplerate(l, kRate);
    lame_set_brate(l, 192);
    lame_set_mode(l, channels == 2 ? STEREO : MONO);
    lame_set_quality(l, 2);
    lame_init_params(l);
    FILE* file = fopen(temp_file("sonaret-bench-floor.mp3").c_str(), "wb");
    std::vector<unsigned char> out(MP3_OUT_BUFFER_SIZE);
    for (auto _ : state) {
        for (int32_t at = 0; at < kRate; at += kPacketFrames) {
            const float* p = audio.data() + static_cast<size_t>(at) * channels;
            int n = channels == 2 ? lame_encode_buffer_interleaved_ieee_float(
                                        l, p, kPacketFrames, out.data(), MP3_OUT_BUFFER_SIZE)
                                  : lame_encode_buffer_ieee_float(l, p, p, kPacketFrames,
                                                                  out.data(), MP3_OUT_BUFFER_SIZE);
            if (n > 0) {
                fwrite(out.data(), 1, n, file);
            }
        }
    }
    lame_close(l);
    fclose(file);
}

// The capture thread's hand-over and the writer thread's encoding, both
// counted: the benchmark measures the process's CPU time. Each second of
// audio is waited for until the writer thread has taken all of it, which
// costs no CPU.
void BM_SinkAndWriter(benchmark::State& state) {
    const int32_t channels = static_cast<int32_t>(state.range(0));
    const std::vector<float>& audio = one_second(channels);
    RecorderState recorder;
    recorder.channels = channels;
    std::wstring path = std::filesystem::path(temp_file("sonaret-bench-sink.mp3")).wstring();
    WriterThread* writer =
        writer_thread_start(mp3_writer_open(path.c_str(), kRate, channels, 192000), nullptr, 0);
    recorder.writer = writer;
    recorder.recording = 1;
    const int32_t packet_bytes = kPacketFrames * channels * 4;
    for (auto _ : state) {
        for (int32_t at = 0; at < kRate; at += kPacketFrames) {
            on_samples(&recorder, audio.data() + static_cast<size_t>(at) * channels, packet_bytes);
        }
        while (writer->frames.taken() != writer->frames.published()) {
            Sleep(50);
        }
    }
    recorder.recording = 0;
    if (writer_thread_finish(writer) != 0) {
        state.SkipWithError("the recording lost sound");
    }
}

// The meter by itself, posting its 94 updates a second to a real window
// whose queue is emptied between seconds.
void BM_Meter(benchmark::State& state) {
    const std::vector<float>& audio = one_second(2);
    RecorderState recorder;
    HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    recorder_attach(&recorder, window, WM_LEVEL_UPDATE, 0);
    LevelMeter meter{0.0f, 0};
    for (auto _ : state) {
        for (int32_t at = 0; at < kRate; at += kPacketFrames) {
            level_meter_feed(&meter, &recorder, audio.data() + at * 2, kPacketFrames * 2);
        }
        state.PauseTiming();
        MSG msg;
        while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
        }
        state.ResumeTiming();
    }
    DestroyWindow(window);
}

} // namespace

BENCHMARK(BM_Floor)->ArgName("channels")->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SinkAndWriter)
    ->MeasureProcessCPUTime()
    ->ArgName("channels")
    ->Arg(1)
    ->Arg(2)
    ->Arg(6)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Meter)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
