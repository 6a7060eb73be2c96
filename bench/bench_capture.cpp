// What capturing costs while it runs, against a private sound server:
//  - monitoring: loopback of a quiet output device with the meter as the
//    callback, as the window runs all the time; CPU as a share of one core;
//  - recording: loopback of music-like sound into an MP3 at 192 kbit/s;
//    CPU per second of audio, to set beside the recording core's own figure.
// The capture thread's own CPU is read from its thread clock inside the
// callback; the whole process (the sound server client's thread included,
// which stands in for the system's audio engine) from getrusage.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "capture_stream.h"
#include "pulse_server.h"
#include "sample_sink.h"
#include "window_messages.h"

namespace {

double process_cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double thread_cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// Wraps the sink: counts the values and reads the capture thread's clock.
struct Measured {
    RecorderState* state;
    std::atomic<int64_t> values{0};
    std::atomic<int64_t> packets{0};
    std::atomic<double> first_cpu{-1}, last_cpu{0};
};

int32_t measured_sink(void* user, const float* samples, int32_t byte_count) {
    auto* m = static_cast<Measured*>(user);
    double now = thread_cpu_seconds();
    double unset = -1;
    m->first_cpu.compare_exchange_strong(unset, now);
    on_samples(m->state, samples, byte_count);
    m->values += byte_count / 4;
    ++m->packets;
    m->last_cpu = thread_cpu_seconds();
    return 0;
}

// Started on first use; stopped by its destructor when the program ends.
PulseServer& server() {
    static PulseServer s;
    static bool started = [] {
        if (!s.start()) {
            fprintf(stderr, "no sound server: %s\n", s.error().c_str());
            return false;
        }
        return true;
    }();
    (void)started;
    return s;
}

void run_capture(benchmark::State& state, bool recording) {
    server().use();
    CoInitialize(nullptr);
    const double seconds = 10.0;
    for (auto _ : state) {
        RecorderState recorder;
        HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      nullptr, nullptr);
        recorder_attach(&recorder, window, WM_LEVEL_UPDATE, 0);
        Measured measured{&recorder};
        CaptureStream* stream = nullptr;
        if (capture_create(&stream, nullptr, 0, nullptr) != 0) {
            state.SkipWithError("cannot open the default output device");
            break;
        }
        uint32_t rate = 0, channels = 0;
        capture_get_format(stream, &rate, &channels);
        recorder.channels = static_cast<int32_t>(channels);
        std::wstring path =
            (std::filesystem::temp_directory_path() / "sonaret-bench-capture.mp3").wstring();
        WriterThread* writer = nullptr;
        std::unique_ptr<TonePlayer> music;
        if (recording) {
            writer = writer_thread_start(mp3_writer_open(path.c_str(), static_cast<int32_t>(rate),
                                                         static_cast<int32_t>(channels), 192000),
                                         nullptr, 0);
            recorder.writer = writer;
            recorder.recording = 1;
            ToneSpec spec;
            spec.seconds = seconds + 2;
            spec.channel_frequencies = {440.0, 1250.0};
            music = server().play_tone(PulseServer::kStereoSink, spec);
        }
        capture_set_callback(stream, measured_sink, &measured);
        double cpu_before = process_cpu_seconds();
        capture_start(stream);
        // The window thread's share: take the meter's messages as they come.
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end) {
            MSG msg;
            while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        double process_cpu = process_cpu_seconds() - cpu_before;
        recorder.recording = 0;
        recorder_wait_for_deliveries(&recorder);
        capture_stop(stream);
        capture_destroy(&stream);
        if (writer != nullptr) {
            writer_thread_finish(writer);
        }
        music.reset();
        DestroyWindow(window);

        double audio_seconds = static_cast<double>(measured.values) / (rate * channels);
        double capture_cpu = measured.last_cpu - measured.first_cpu;
        state.counters["audio_s"] = audio_seconds;
        state.counters["packets_per_audio_s"] =
            audio_seconds > 0 ? measured.packets / audio_seconds : 0;
        state.counters["capture_thread_core_pct"] = 100.0 * capture_cpu / seconds;
        state.counters["process_core_pct"] = 100.0 * process_cpu / seconds;
        state.counters["capture_thread_ms_per_audio_s"] =
            audio_seconds > 0 ? 1000.0 * capture_cpu / audio_seconds : 0;
    }
    CoUninitialize();
}

void BM_MonitorSilenceByLoopback(benchmark::State& state) {
    run_capture(state, false);
}
void BM_RecordLoopbackStereo48k192k(benchmark::State& state) {
    run_capture(state, true);
}

} // namespace

BENCHMARK(BM_MonitorSilenceByLoopback)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RecordLoopbackStereo48k192k)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
