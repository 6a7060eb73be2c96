#include "pulse_server.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <pulse/error.h>
#include <pulse/simple.h>

#include "pipewire_config.h"
#include "pulse_devices_script.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <map>
#include <numbers>
#include <sstream>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// The environment of a child: ours, with `overrides` replacing or adding
// entries and the names in `remove` left out.
std::vector<std::string> child_environment(const std::map<std::string, std::string>& overrides,
                                           const std::vector<std::string>& remove = {}) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        std::string name = entry.substr(0, entry.find('='));
        if (overrides.count(name) ||
            std::find(remove.begin(), remove.end(), name) != remove.end()) {
            continue;
        }
        env.push_back(entry);
    }
    for (const auto& [name, value] : overrides) {
        env.push_back(name + "=" + value);
    }
    return env;
}

std::vector<char*> c_strings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    for (std::string& s : strings) {
        out.push_back(s.data());
    }
    out.push_back(nullptr);
    return out;
}

// Runs a program found on PATH; its standard output comes back, its status
// in *status (-1 when it could not run).
std::string run(std::vector<std::string> argv, std::vector<std::string> env, int* status) {
    *status = -1;
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) {
        return {};
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args = c_strings(argv);
    std::vector<char*> envp = c_strings(env);
    pid_t child = -1;
    int rc = posix_spawnp(&child, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_fds[1]);
    std::string out;
    if (rc == 0) {
        char buffer[4096];
        ssize_t n;
        while ((n = read(pipe_fds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR)) {
            if (n > 0) {
                out.append(buffer, static_cast<size_t>(n));
            }
        }
        int wstatus = 0;
        while (waitpid(child, &wstatus, 0) < 0 && errno == EINTR) {
        }
        *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
    }
    close(pipe_fds[0]);
    return out;
}

// Waits up to `timeout` for the child to end; true when it has (and is reaped).
bool reap(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        usleep(10000);
    }
}

constexpr const char* kKeepAwakeStream = "keep awake";

// Starts `argv` with `env`, its output into `log_path`. fork rather than
// posix_spawn, for the death signal: a test binary that is killed (a
// time-out) takes its servers with it instead of leaving them running for
// ever. Only async-signal-safe calls in the child. -1 when it can't start.
pid_t spawn_server(std::vector<std::string> argv, std::vector<std::string> env,
                   const std::string& log_path) {
    std::vector<char*> args = c_strings(argv);
    std::vector<char*> envp = c_strings(env);
    const int log_fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (log_fd < 0 || null_fd < 0) {
        if (log_fd >= 0) {
            close(log_fd);
        }
        if (null_fd >= 0) {
            close(null_fd);
        }
        return -1;
    }
    const pid_t parent = getpid();
    pid_t child = fork();
    if (child == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        dup2(null_fd, STDIN_FILENO);
        dup2(log_fd, STDOUT_FILENO);
        dup2(log_fd, STDERR_FILENO);
        execvpe(args[0], args.data(), envp.data());
        _exit(127);
    }
    close(log_fd);
    close(null_fd);
    return child;
}

// True while `pid`, our child, runs; reaps it once it has ended.
bool child_running(pid_t pid) {
    if (pid <= 0) {
        return false;
    }
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == 0;
}

// SIGTERM (or SIGKILL at once when `hard`), then SIGKILL if it has not gone
// after a few seconds; reaps it and forgets it.
void end_child(pid_t& pid, bool hard) {
    if (pid <= 0) {
        return;
    }
    ::kill(pid, hard ? SIGKILL : SIGTERM);
    if (!reap(pid, std::chrono::seconds(5))) {
        ::kill(pid, SIGKILL);
        reap(pid, std::chrono::seconds(5));
    }
    pid = -1;
}

// One line of "key: value" from `pactl info`, or "" when it has none.
std::string info_field(const std::string& info, const std::string& key) {
    std::istringstream lines(info);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(key + ": ", 0) == 0) {
            return line.substr(key.size() + 2);
        }
    }
    return {};
}

std::string client_config_path(const std::filesystem::path& dir) {
    return (dir / "client.conf").string();
}

} // namespace

TonePlayer::TonePlayer(std::string server, std::string sink, ToneSpec spec)
    : server_(std::move(server)), sink_(std::move(sink)), spec_(spec) {
    thread_ = std::thread([this] { run(); });
}

TonePlayer::~TonePlayer() {
    stop();
}

void TonePlayer::wait() {
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TonePlayer::stop() {
    stop_ = true;
    wait();
}

void TonePlayer::run() {
    pa_sample_spec ss{PA_SAMPLE_FLOAT32LE, spec_.rate, static_cast<uint8_t>(spec_.channels)};
    pa_channel_map map;
    const bool has_map = !spec_.channel_map.empty();
    if (has_map && !pa_channel_map_parse(&map, spec_.channel_map.c_str())) {
        return;
    }
    const uint32_t chunk_frames = spec_.rate / 100;
    const uint32_t chunk_bytes = chunk_frames * spec_.channels * 4;
    // 300 ms queued at the server: enough that a busy machine doesn't starve
    // the tone into gaps, short enough that stop() takes effect soon.
    pa_buffer_attr attr{static_cast<uint32_t>(-1), 30 * chunk_bytes, static_cast<uint32_t>(-1),
                        static_cast<uint32_t>(-1), static_cast<uint32_t>(-1)};
    int error = 0;
    pa_simple* s =
        pa_simple_new(server_.c_str(), "Sonaret tests", PA_STREAM_PLAYBACK, sink_.c_str(),
                      "test tone", &ss, has_map ? &map : nullptr, &attr, &error);
    if (!s) {
        return;
    }
    ok_ = true;
    const auto total = static_cast<uint64_t>(spec_.seconds * spec_.rate);
    std::vector<float> chunk(static_cast<size_t>(chunk_frames) * spec_.channels);
    std::vector<double> steps(spec_.channels);
    for (uint32_t c = 0; c < spec_.channels; ++c) {
        const double f =
            c < spec_.channel_frequencies.size() ? spec_.channel_frequencies[c] : spec_.frequency;
        steps[c] = 2.0 * std::numbers::pi * f / spec_.rate;
    }
    for (uint64_t frame = 0; frame < total && !stop_; frame += chunk_frames) {
        const uint64_t n = std::min<uint64_t>(chunk_frames, total - frame);
        for (uint64_t i = 0; i < n; ++i) {
            for (uint32_t c = 0; c < spec_.channels; ++c) {
                chunk[i * spec_.channels + c] =
                    spec_.amplitude * static_cast<float>(std::sin(steps[c] * double(frame + i)));
            }
        }
        if (pa_simple_write(s, chunk.data(), n * spec_.channels * 4, &error) < 0) {
            ok_ = false;
            break;
        }
    }
    if (ok_ && !stop_ && pa_simple_drain(s, &error) < 0) {
        ok_ = false;
    }
    pa_simple_free(s);
}

PulseServer::PulseServer() = default;

PulseServer::~PulseServer() {
    stop();
    if (!dir_.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
}

bool PulseServer::fail(const std::string& reason) {
    error_ = reason;
    std::string server_log = log();
    if (!server_log.empty()) {
        error_ += "\n--- server log ---\n" + server_log;
    }
    stop();
    return false;
}

SoundServerKind PulseServer::kind() {
    const char* chosen = getenv("SONARET_SOUND_SERVER");
    return chosen && std::string(chosen) == "pipewire" ? SoundServerKind::PipeWire
                                                       : SoundServerKind::PulseAudio;
}

bool PulseServer::start(const std::string& extra_script,
                        const std::function<void()>& before_devices) {
    if (pid_ > 0 || bus_pid_ > 0 || pipewire_pid_ > 0 || wireplumber_pid_ > 0) {
        return fail("already running");
    }
    const char* chosen = getenv("SONARET_SOUND_SERVER");
    if (chosen && *chosen && std::string(chosen) != "pulseaudio" &&
        std::string(chosen) != "pipewire") {
        return fail(std::string("SONARET_SOUND_SERVER names no server kind we know: ") + chosen +
                    " (pulseaudio or pipewire)");
    }
    if (dir_.empty()) {
        std::string pattern = (std::filesystem::temp_directory_path() / "sonaret-pulse-XXXXXX");
        if (!mkdtemp(pattern.data())) {
            return fail("no temporary folder");
        }
        dir_ = pattern;
    }
    for (const char* sub : {"runtime", "home", "state", "config"}) {
        std::filesystem::create_directories(dir_ / sub);
        chmod((dir_ / sub).c_str(), 0700);
    }
    {
        std::ofstream client(client_config_path(dir_));
        client << "autospawn = no\n";
    }
    const bool pipewire = kind() == SoundServerKind::PipeWire;
    if (!(pipewire ? start_pipewire(extra_script, before_devices)
                   : start_pulseaudio(extra_script))) {
        return false;
    }
    if (!pipewire && before_devices) {
        before_devices();
    }
    int status = -1;
    std::string sinks = pactl({"list", "short", "sinks"}, &status);
    std::string sources = pactl({"list", "short", "sources"}, &status);
    for (const char* name : {kStereoSink, kSurroundSink, kAccentSink, kMicFeedSink}) {
        if (sinks.find(std::string("\t") + name + "\t") == std::string::npos) {
            return fail(std::string("sink missing: ") + name);
        }
    }
    if (sources.find(std::string("\t") + kMicSource + "\t") == std::string::npos) {
        return fail("microphone source missing");
    }
    // PipeWire's null sinks render in short cycles whether or not anything
    // plays to them, and a stream that starts gets its first data within a
    // cycle: nothing to keep awake there.
    if (kind() == SoundServerKind::PulseAudio && !wake_sinks()) {
        return fail("could not keep the sinks awake");
    }
    use();
    return true;
}

bool PulseServer::wait_for_answer(const char* what) {
    const std::filesystem::path socket = socket_path();
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    for (;;) {
        for (pid_t* pid : {&pid_, &pipewire_pid_, &wireplumber_pid_}) {
            if (*pid > 0 && !child_running(*pid)) {
                *pid = -1;
                return fail(std::string(what) + " exited during start");
            }
        }
        int pactl_status = -1;
        if (std::filesystem::exists(socket)) {
            pactl({"info"}, &pactl_status);
        }
        if (pactl_status == 0) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return fail(std::string(what) + " did not answer in time");
        }
        usleep(20000);
    }
}

bool PulseServer::start_pulseaudio(const std::string& extra_script) {
    const std::string socket = (dir_ / "native").string();
    {
        std::ofstream script(dir_ / "server.pa");
        script << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket
               << "\n"
               << kPulseDevicesScript << "\n"
               << extra_script << "\n";
    }
    // Everything the daemon keeps goes into our folder. As root it warns
    // that it is not meant for that, and then runs normally.
    std::vector<std::string> env = child_environment(
        {{"HOME", (dir_ / "home").string()},
         {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
         {"PULSE_RUNTIME_PATH", (dir_ / "runtime").string()},
         {"PULSE_STATE_PATH", (dir_ / "state").string()},
         {"XDG_CONFIG_HOME", (dir_ / "config").string()}},
        {"PULSE_SERVER", "DBUS_SESSION_BUS_ADDRESS", "DISPLAY", "PULSE_CLIENTCONFIG"});
    pid_ = spawn_server({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                         "--disallow-exit", "--use-pid-file=no", "--system=no", "--realtime=no",
                         "--high-priority=no", "--log-target=stderr", "-F",
                         (dir_ / "server.pa").string()},
                        env, (dir_ / "daemon.log").string());
    if (pid_ < 0) {
        return fail("cannot run pulseaudio: " + std::string(strerror(errno)));
    }
    // The devices are there once the startup script has run, which comes
    // before the socket answers.
    return wait_for_answer("pulseaudio");
}

bool PulseServer::start_pipewire(const std::string& extra_script,
                                 const std::function<void()>& before_devices) {
    // Our configuration (tests/support/pipewire, .../wireplumber-*): the
    // desktop's without real-time scheduling and without the machine's own
    // devices. WirePlumber 0.5 refuses 0.4's Lua configuration, and 0.4
    // knows nothing of 0.5's fragments: the installed one's goes in.
    int ran = -1;
    const std::string version = run({"wireplumber", "--version"}, child_environment({}), &ran);
    const std::string wireplumber = version.find("libwireplumber 0.4") != std::string::npos
                                        ? "wireplumber-0.4/"
                                        : "wireplumber-0.5/";
    for (const auto& [path, text] : kPipeWireConfig) {
        const std::string_view name = path;
        std::filesystem::path file = dir_ / name;
        if (name.starts_with(wireplumber)) {
            file = dir_ / "config" / "wireplumber" / name.substr(wireplumber.size());
        } else if (name.starts_with("wireplumber")) {
            continue;
        }
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }
    const std::string bus = "unix:path=" + (dir_ / "bus").string();
    // Everything the three keep goes into our folder; they meet on a
    // session bus of their own; pipewire-pulse's socket is where the
    // PulseAudio daemon's would be (PULSE_RUNTIME_PATH/native).
    std::vector<std::string> env =
        child_environment({{"HOME", (dir_ / "home").string()},
                           {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
                           {"XDG_STATE_HOME", (dir_ / "state").string()},
                           {"XDG_CONFIG_HOME", (dir_ / "config").string()},
                           {"PULSE_RUNTIME_PATH", dir_.string()},
                           {"PIPEWIRE_CONFIG_DIR", (dir_ / "pipewire").string()},
                           {"DBUS_SESSION_BUS_ADDRESS", bus}},
                          {"PULSE_SERVER", "DISPLAY", "WAYLAND_DISPLAY", "PULSE_CLIENTCONFIG",
                           "PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR", "PULSE_STATE_PATH"});

    // Each waits for what the next one needs: the bus's socket, PipeWire's.
    auto wait_for_file = [this](const std::filesystem::path& file, pid_t pid, const char* what) {
        const auto deadline = Clock::now() + std::chrono::seconds(15);
        while (!std::filesystem::exists(file)) {
            if (!child_running(pid)) {
                return fail(std::string(what) + " exited during start");
            }
            if (Clock::now() >= deadline) {
                return fail(std::string(what) + " did not start in time");
            }
            usleep(10000);
        }
        return true;
    };
    // A stack that was killed left its sockets behind; each is waited for
    // below, so a stale one must not count.
    for (const std::filesystem::path& stale :
         {dir_ / "bus", dir_ / "runtime" / "pipewire-0", dir_ / "runtime" / "pipewire-0.lock",
          dir_ / "native", dir_ / "setup"}) {
        std::error_code ignored;
        std::filesystem::remove(stale, ignored);
    }
    bus_pid_ =
        spawn_server({"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + bus},
                     env, (dir_ / "dbus.log").string());
    if (bus_pid_ < 0) {
        return fail("cannot run dbus-daemon");
    }
    if (!wait_for_file(dir_ / "bus", bus_pid_, "dbus-daemon")) {
        return false;
    }
    pipewire_pid_ = spawn_server({"pipewire"}, env, (dir_ / "pipewire.log").string());
    if (pipewire_pid_ < 0) {
        return fail("cannot run pipewire");
    }
    if (!wait_for_file(dir_ / "runtime" / "pipewire-0", pipewire_pid_, "pipewire")) {
        return false;
    }
    published_ = false;
    pid_ = spawn_server({"pipewire-pulse"}, env, (dir_ / "pipewire-pulse.log").string());
    wireplumber_pid_ = spawn_server({"wireplumber"}, env, (dir_ / "wireplumber.log").string());
    if (pid_ < 0 || wireplumber_pid_ < 0) {
        return fail("cannot run pipewire-pulse or wireplumber");
    }
    if (!wait_for_answer("pipewire-pulse")) {
        return false;
    }
    if (before_devices) {
        if (!publish()) {
            return false;
        }
        before_devices();
    }

    // The devices' script, line by line through pipewire-pulse, but for the
    // microphone, which our PipeWire configuration makes (pipewire-pulse's
    // module-remap-source keeps its master's rate). The defaults can be set
    // once WirePlumber has made its metadata; they hold once it has chosen
    // them.
    std::string default_sink, default_source;
    std::istringstream lines(std::string(kPulseDevicesScript) + "\n" + extra_script);
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    while (std::getline(lines, line)) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        std::istringstream words(line.substr(start));
        std::string command, name;
        words >> command >> name;
        if (command == "load-module" && name == "module-remap-source") {
            continue;
        }
        std::vector<std::string> args{command, name};
        if (command == "load-module") {
            // The arguments as one, quotes and all, as the script has them.
            std::string rest;
            std::getline(words >> std::ws, rest);
            if (!rest.empty()) {
                args.push_back(rest);
            }
        } else {
            for (std::string word; words >> word;) {
                args.push_back(word);
            }
        }
        if (command == "set-default-sink") {
            default_sink = name;
        } else if (command == "set-default-source") {
            default_source = name;
        }
        int status = -1;
        for (;;) {
            pactl(args, &status);
            if (status == 0 || command == "load-module" || Clock::now() >= deadline) {
                break;
            }
            usleep(20000);
        }
        if (status != 0) {
            return fail("pipewire-pulse refused: " + line);
        }
    }
    // Ready when the defaults are ours and the microphone hears its feed.
    for (;;) {
        int status = -1;
        const std::string info = pactl({"info"}, &status);
        const bool defaults =
            (default_sink.empty() || info_field(info, "Default Sink") == default_sink) &&
            (default_source.empty() || info_field(info, "Default Source") == default_source);
        std::string feed_index;
        for (const auto& source : short_list("sources")) {
            if (source.size() > 1 && source[1] == std::string(kMicFeedSink) + ".monitor") {
                feed_index = source[0];
            }
        }
        bool hears = false;
        for (const auto& output : short_list("source-outputs")) {
            hears = hears || (!feed_index.empty() && output.size() > 1 && output[1] == feed_index);
        }
        if (defaults && hears) {
            return publish();
        }
        if (Clock::now() >= deadline) {
            return fail(defaults ? "the microphone is not linked to its feed"
                                 : "the defaults did not take");
        }
        usleep(20000);
    }
}

bool PulseServer::wake_sinks() {
    struct Sink {
        const char* name;
        uint32_t rate;
        uint8_t channels;
    };
    // In each sink's own format, as the server reports it
    // ("<index>\t<name>\t<driver>\ts16le 2ch 48000Hz\t<state>"), so that
    // nothing is converted on the way.
    std::vector<Sink> sinks;
    for (const auto& fields : short_list("sinks")) {
        if (fields.size() < 4) {
            continue;
        }
        const std::string& name = fields[1];
        const std::string& format = fields[3];
        unsigned channels = 0, rate = 0;
        char sample[16] = {};
        for (const char* standard : {kStereoSink, kSurroundSink, kAccentSink, kMicFeedSink}) {
            if (name == standard &&
                sscanf(format.c_str(), "%15s %uch %uHz", sample, &channels, &rate) == 3) {
                sinks.push_back(Sink{standard, rate, static_cast<uint8_t>(channels)});
            }
        }
    }
    if (sinks.size() != 4) {
        return false;
    }
    waking_ = true;
    awake_ = 0;
    for (const Sink& sink : sinks) {
        wakers_.emplace_back([this, sink, address = address()] {
            pa_sample_spec ss{PA_SAMPLE_S16LE, sink.rate, sink.channels};
            const uint32_t chunk = sink.rate / 100 * sink.channels * 2;
            pa_buffer_attr attr{static_cast<uint32_t>(-1), 3 * chunk, 0, chunk,
                                static_cast<uint32_t>(-1)};
            int error = 0;
            pa_simple* s = pa_simple_new(address.c_str(), "Sonaret tests", PA_STREAM_PLAYBACK,
                                         sink.name, kKeepAwakeStream, &ss, nullptr, &attr, &error);
            if (!s) {
                return;
            }
            ++awake_;
            // Paced by the sink: each write waits for room.
            std::vector<char> silence(chunk, 0);
            while (waking_ && pa_simple_write(s, silence.data(), silence.size(), &error) == 0) {
            }
            pa_simple_free(s);
        });
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (awake_ < static_cast<int>(sinks.size()) && Clock::now() < deadline) {
        usleep(5000);
    }
    if (awake_ < static_cast<int>(sinks.size())) {
        return false;
    }
    // Coming back from suspension a null sink starts its clock anew, now
    // with the short blocks our streams ask for.
    for (const Sink& sink : sinks) {
        int status = -1;
        pactl({"suspend-sink", sink.name, "1"}, &status);
        if (status != 0) {
            return false;
        }
        pactl({"suspend-sink", sink.name, "0"}, &status);
        if (status != 0) {
            return false;
        }
    }
    return true;
}

void PulseServer::stop_waking() {
    waking_ = false;
    for (std::thread& t : wakers_) {
        t.join();
    }
    wakers_.clear();
}

void PulseServer::stop() {
    stop_waking();
    // The session manager and the pulse server before the server they use,
    // the bus last.
    end_child(wireplumber_pid_, false);
    end_child(pid_, false);
    end_child(pipewire_pid_, false);
    end_child(bus_pid_, false);
}

void PulseServer::kill() {
    // On PipeWire the whole stack dies, as the one daemon does: what comes
    // back with start() is a new server at the same address.
    end_child(pid_, true);
    end_child(wireplumber_pid_, true);
    end_child(pipewire_pid_, true);
    end_child(bus_pid_, true);
    // Their reads fail now that the server is gone.
    stop_waking();
}

bool PulseServer::running() {
    if (!child_running(pid_)) {
        pid_ = -1;
        return false;
    }
    return true;
}

std::filesystem::path PulseServer::socket_path() const {
    return dir_ / (published_ ? "native" : "setup");
}

bool PulseServer::publish() {
    std::error_code error;
    if (!published_) {
        std::filesystem::rename(dir_ / "setup", dir_ / "native", error);
    }
    if (error) {
        return fail("cannot move pipewire-pulse's socket: " + error.message());
    }
    published_ = true;
    return true;
}

std::string PulseServer::address() const {
    return "unix:" + socket_path().string();
}

void PulseServer::use() const {
    setenv("PULSE_SERVER", address().c_str(), 1);
    setenv("PULSE_CLIENTCONFIG", client_config_path(dir_).c_str(), 1);
}

void PulseServer::use_address(const std::string& address) {
    setenv("PULSE_SERVER", address.c_str(), 1);
}

bool PulseServer::force_cycle(int frames) const {
    int status = -1;
    run({"pw-metadata", "-n", "settings", "0", "clock.force-quantum", std::to_string(frames)},
        child_environment({{"XDG_RUNTIME_DIR", (dir_ / "runtime").string()}},
                          {"PIPEWIRE_REMOTE", "PIPEWIRE_RUNTIME_DIR"}),
        &status);
    return status == 0;
}

std::string PulseServer::pactl(const std::vector<std::string>& args, int* status) const {
    std::vector<std::string> argv{"pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    int ignored = 0;
    return run(argv,
               child_environment(
                   {{"PULSE_SERVER", address()}, {"PULSE_CLIENTCONFIG", client_config_path(dir_)}}),
               status ? status : &ignored);
}

bool PulseServer::set_default(const std::string& direction, const std::string& name) const {
    int status = -1;
    pactl({"set-default-" + direction, name}, &status);
    if (status != 0) {
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (default_device(direction) != name) {
        if (Clock::now() >= deadline) {
            return false;
        }
        usleep(10000);
    }
    return true;
}

std::string PulseServer::default_device(const std::string& direction) const {
    int status = -1;
    std::string name = pactl({"get-default-" + direction}, &status);
    while (!name.empty() && (name.back() == '\n' || name.back() == ' ')) {
        name.pop_back();
    }
    return status == 0 ? name : std::string();
}

int PulseServer::load_module(const std::string& name, const std::string& args) const {
    int status = -1;
    std::string out = pactl({"load-module", name, args}, &status);
    if (status != 0) {
        return -1;
    }
    char* end = nullptr;
    long index = strtol(out.c_str(), &end, 10);
    return end == out.c_str() ? -1 : static_cast<int>(index);
}

bool PulseServer::unload_module(int index) const {
    int status = -1;
    pactl({"unload-module", std::to_string(index)}, &status);
    return status == 0;
}

std::vector<std::vector<std::string>> PulseServer::short_list(const std::string& what) const {
    std::vector<std::vector<std::string>> rows;
    std::istringstream listed(pactl({"list", "short", what}));
    for (std::string line; std::getline(listed, line);) {
        std::vector<std::string> fields;
        std::istringstream cells(line);
        for (std::string field; std::getline(cells, field, '\t');) {
            fields.push_back(field);
        }
        rows.push_back(std::move(fields));
    }
    return rows;
}

std::vector<SinkInput> PulseServer::sink_inputs() const {
    int status = -1;
    std::map<std::string, std::string> sink_names;
    for (const auto& sink : short_list("sinks")) {
        if (sink.size() > 1) {
            sink_names[sink[0]] = sink[1];
        }
    }
    std::string line;
    // The long listing, for the stream names: blocks of "Sink Input #N",
    // then "Sink: <index>", "Sample Specification: ..." and the properties.
    std::vector<SinkInput> inputs;
    std::istringstream listed(pactl({"list", "sink-inputs"}, &status));
    bool ours = false;
    auto trimmed = [](const std::string& text) {
        const size_t start = text.find_first_not_of(" \t");
        return start == std::string::npos ? std::string() : text.substr(start);
    };
    auto finish = [&] {
        if (!inputs.empty() && ours) {
            inputs.pop_back();
        }
        ours = false;
    };
    while (std::getline(listed, line)) {
        const std::string field = trimmed(line);
        if (field.rfind("Sink Input #", 0) == 0) {
            finish();
            inputs.push_back({static_cast<uint32_t>(std::stoul(field.substr(12))), {}, {}});
        } else if (inputs.empty()) {
            continue;
        } else if (field.rfind("Sink: ", 0) == 0) {
            inputs.back().sink = sink_names[field.substr(6)];
        } else if (field.rfind("Sample Specification: ", 0) == 0) {
            inputs.back().sample_spec = field.substr(22);
        } else if (field == std::string("media.name = \"") + kKeepAwakeStream + "\"") {
            ours = true;
        }
    }
    finish();
    return inputs;
}

std::unique_ptr<TonePlayer> PulseServer::play_tone(const std::string& sink,
                                                   const ToneSpec& spec) const {
    return std::make_unique<TonePlayer>(address(), sink, spec);
}

std::string PulseServer::log() const {
    std::stringstream text;
    for (const char* name :
         {"daemon.log", "pipewire.log", "pipewire-pulse.log", "wireplumber.log", "dbus.log"}) {
        std::ifstream in(dir_ / name);
        if (!in) {
            continue;
        }
        std::stringstream one;
        one << in.rdbuf();
        if (kind() == SoundServerKind::PulseAudio) {
            text << one.str();
        } else if (!one.str().empty()) {
            text << "[" << name << "]\n" << one.str();
        }
    }
    return text.str();
}

namespace {
PulseServer* shared_server = nullptr;
}

void PulseServerEnvironment::SetUp() {
    shared_server = new PulseServer();
    ASSERT_TRUE(shared_server->start()) << shared_server->error();
}

void PulseServerEnvironment::TearDown() {
    delete shared_server;
    shared_server = nullptr;
}

PulseServer& PulseServerEnvironment::server() {
    return *shared_server;
}
