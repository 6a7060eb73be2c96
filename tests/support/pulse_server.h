// A private sound server for the audio tests, in its own temporary folder,
// with null sinks of chosen formats and a microphone, each process stopped
// by its id. Two kinds, chosen by SONARET_SOUND_SERVER:
//   unset or "pulseaudio"  the PulseAudio daemon;
//   "pipewire"             PipeWire, pipewire-pulse and WirePlumber, as
//                          desktops run them (each a process of ours, on a
//                          session bus of ours, without real-time
//                          scheduling).
// Either way the clients speak PulseAudio's protocol to one socket.
//
// One server per test binary is the usual way; register the environment once
// at namespace scope of one test file:
//
//   static auto* const pulse_env =
//       ::testing::AddGlobalTestEnvironment(new PulseServerEnvironment());
//   ... PulseServerEnvironment::server().play_tone(PulseServer::kStereoSink, {});
//
// Starting a server points this process's clients at it (PULSE_SERVER), so
// CoCreateInstance(MMDeviceEnumerator) connects there.
//
// On PulseAudio the standard sinks are kept awake, as a real card is: a null
// sink that nothing plays to sleeps in 2-second blocks, so a stream that
// starts then waits up to 2 s for its first data. The fixture plays a
// low-latency stream of silence to each standard sink (sink_inputs() leaves
// those out) and restarts the sink's clock (suspend, resume) so that it
// renders in small blocks from then on. PipeWire's null sinks need neither.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pulse_devices.h"

struct ToneSpec {
    double frequency = 1000.0;
    float amplitude = 0.5f; // the same on every channel
    double seconds = 3.0;
    // The format the tone is written in; the server converts to the sink's.
    uint32_t rate = 48000;
    uint32_t channels = 2;
    // Optional: a frequency per channel (else `frequency` on all), and the
    // channels' positions in PulseAudio's notation (else the default map).
    std::vector<double> channel_frequencies = {};
    std::string channel_map = {};
};

// A tone played into a sink by a stream of its own, from a thread of its own.
class TonePlayer {
  public:
    TonePlayer(std::string server, std::string sink, ToneSpec spec);
    ~TonePlayer(); // stops
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

    // Until the whole tone has been played (or the stream failed).
    void wait();
    // Cuts the tone short.
    void stop();
    // True once the stream was open; false when it could not connect or
    // failed while writing.
    bool ok() const { return ok_.load(); }

  private:
    void run();

    std::string server_;
    std::string sink_;
    ToneSpec spec_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> ok_{false};
    std::thread thread_;
};

enum class SoundServerKind { PulseAudio, PipeWire };

struct SinkInput {
    uint32_t index = 0;
    std::string sink; // the sink's name
    std::string sample_spec;
};

class PulseServer {
  public:
    // The devices every server has (tests/support/pulse_devices.pa), in
    // this order (the server's indexes).
    static constexpr const char* kStereoSink = test_devices::kStereoSink;
    static constexpr const char* kSurroundSink = test_devices::kSurroundSink;
    static constexpr const char* kSurroundMap = test_devices::kSurroundMap;
    static constexpr const char* kAccentSink = test_devices::kAccentSink;
    static constexpr const char* kMicFeedSink = test_devices::kMicFeedSink;
    static constexpr const char* kMicSource = test_devices::kMicSource;
    static constexpr const char* kStereoDescription = test_devices::kStereoDescription;
    static constexpr const char* kSurroundDescription = test_devices::kSurroundDescription;
    static constexpr const char* kAccentDescription = test_devices::kAccentDescription;
    static constexpr const char* kMicFeedDescription = test_devices::kMicFeedDescription;
    static constexpr const char* kMicDescription = test_devices::kMicDescription;

    // The kind SONARET_SOUND_SERVER chooses.
    static SoundServerKind kind();

    PulseServer();
    ~PulseServer(); // stop()
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the server with the devices above (it dies with the thread that
    // started it, so start it from the test's main thread), then the lines of
    // `extra_script` (PulseAudio's startup script syntax; on PipeWire each
    // line goes through pactl), waits until it answers and has every device
    // and the defaults, and points this process's clients at it. False, with
    // the reason in error(), otherwise. `before_devices` runs once the server
    // answers: on PipeWire before it has the devices (the PulseAudio daemon
    // has them by then).
    bool start(const std::string& extra_script = "",
               const std::function<void()>& before_devices = {});
    // SIGTERM, then SIGKILL if it has not gone after a few seconds.
    void stop();
    // SIGKILL at once, for tests of a server that dies; waits for the
    // processes. On PipeWire the whole stack goes.
    void kill();
    bool running();
    // The process that speaks to the clients: pulseaudio, or pipewire-pulse.
    pid_t pid() const { return pid_; }

    // "unix:<folder>/native"
    std::string address() const;
    // Points this process's clients (PULSE_SERVER) at this server, e.g. again
    // after a test pointed them elsewhere.
    void use() const;
    // Points this process's clients at `address` (say, a socket nobody
    // listens on). Autospawning stays off.
    static void use_address(const std::string& address);

    // pactl against this server: its exit status is `*status` and its
    // standard output the result.
    std::string pactl(const std::vector<std::string>& args, int* status = nullptr) const;
    // PipeWire's graph in cycles of `frames` from now on (0: as configured).
    bool force_cycle(int frames) const;
    // `pactl list short <what>`: a row per object, its tab-separated fields.
    std::vector<std::vector<std::string>> short_list(const std::string& what) const;
    // Makes `name` the default sink or source (`direction` "sink" or
    // "source") and waits until the server reports it as such: PipeWire's
    // session manager applies a new default a little after the command that
    // asked for it. False when the command failed or the server kept another.
    bool set_default(const std::string& direction, const std::string& name) const;
    // The server's default sink or source now, by name.
    std::string default_device(const std::string& direction) const;
    // The module's index, or -1 on failure.
    int load_module(const std::string& name, const std::string& args) const;
    bool unload_module(int index) const;
    // The playback streams now connected, by sink name, except the
    // fixture's own streams of silence.
    std::vector<SinkInput> sink_inputs() const;

    std::unique_ptr<TonePlayer> play_tone(const std::string& sink, const ToneSpec& spec) const;

    const std::string& error() const { return error_; }
    // The server's own messages so far (each process's, on PipeWire).
    std::string log() const;

  private:
    bool fail(const std::string& reason);
    bool start_pulseaudio(const std::string& extra_script);
    bool start_pipewire(const std::string& extra_script,
                        const std::function<void()>& before_devices);
    // Until pactl gets an answer, while every process of ours runs.
    bool wait_for_answer(const char* what);
    // pipewire-pulse listens at "setup", where only our own pactl calls go,
    // until it has the devices; then its socket moves to "native", where
    // clients look. So a client comes back to a server with all its devices,
    // as to the PulseAudio daemon, which answers only once it has them.
    std::filesystem::path socket_path() const;
    bool publish();
    bool published_ = true;
    bool wake_sinks();
    void stop_waking();

    std::filesystem::path dir_;
    std::atomic<bool> waking_{false};
    std::atomic<int> awake_{0};
    std::vector<std::thread> wakers_;
    pid_t pid_ = -1;
    // PipeWire's stack beside pipewire-pulse (pid_).
    pid_t bus_pid_ = -1;
    pid_t pipewire_pid_ = -1;
    pid_t wireplumber_pid_ = -1;
    std::string error_;
};

// One server for the whole test binary, started before the first test.
class PulseServerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override;
    void TearDown() override;
    static PulseServer& server();
};
