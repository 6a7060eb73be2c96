// The capture tests' Windows build, run under Wine (see capture_tests.h).
// CTest starts the private server before these tests and stops it after
// them (tests/support/pulse-fixture.sh) and hands its address over in
// PULSE_SERVER, which Wine's PulseAudio driver reads.
//
// Tones are played by the server's own client, pacat, which these tests
// start as a Unix program: Wine runs a Unix binary given to CreateProcess.
// Wine's render client would play them too, but its driver keeps only some
// 20 ms queued at the server, and on a busy machine the sink then plays a
// moment of silence in the middle of a tone.
//
// Wine's driver lists every sink as an output endpoint and every source as
// an input endpoint, the sinks' monitors included, plus one endpoint per
// flow ("PulseAudio Output", "PulseAudio Input") that follows the server's
// default device; in an order of its own. Wine 10 records loopback (the
// monitor of the sink), as Windows does; the monitors can also be recorded
// as inputs.
#include "capture_tests.h"

#include <objbase.h>
#include <mmdeviceapi.h>

#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <numbers>
#include <optional>

#include "audio_devices.h"
#include "com_ptr.h"
#include "device_events.h"
#include "notification_client.h"

namespace {

// Wine's endpoints that follow the server's default devices.
constexpr const char* kDriverDefaultOutput = "PulseAudio Output";
constexpr const char* kDriverDefaultInput = "PulseAudio Input";

std::string monitor_of(const char* description) {
    return std::string(test_devices::kMonitorPrefix) + description;
}

// The server's folder, where the fixture put its socket: PULSE_SERVER is
// "unix:<folder>/native". Empty when it is not.
std::string server_folder() {
    const char* address = getenv("PULSE_SERVER");
    const std::string text = address != nullptr ? address : "";
    const std::string scheme = "unix:", socket = "/native";
    if (text.size() <= scheme.size() + socket.size() || text.rfind(scheme, 0) != 0 ||
        text.compare(text.size() - socket.size(), socket.size(), socket) != 0) {
        return {};
    }
    return text.substr(scheme.size(), text.size() - scheme.size() - socket.size());
}

// The name this program knows a Unix file by (Wine's drive for the Unix
// root), from Wine's own conversion.
std::wstring dos_name(const std::string& unix_path) {
    using Convert = WCHAR*(CDECL*)(const char*);
    auto convert = reinterpret_cast<Convert>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_dos_file_name")));
    WCHAR* name = convert != nullptr ? convert(unix_path.c_str()) : nullptr;
    if (name == nullptr) {
        return {};
    }
    std::wstring text(name);
    HeapFree(GetProcessHeap(), 0, name);
    return text;
}

// Runs a shell command line on the Unix side. Wine gives back no process to
// wait on, so commands leave their results in files.
bool run_unix(const std::string& command) {
    std::wstring line = L"/bin/sh -c \"" + wide(command) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    if (process.hThread != nullptr) {
        CloseHandle(process.hThread);
    }
    if (process.hProcess != nullptr) {
        CloseHandle(process.hProcess);
    }
    return true;
}

std::string read_text(const std::wstring& path) {
    std::string text;
    if (FILE* f = _wfopen(path.c_str(), L"rb")) {
        char buffer[4096];
        for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) {
            text.append(buffer, n);
        }
        fclose(f);
    }
    return text;
}

// 1 kHz at half scale for three seconds, 48 kHz stereo, played by pacat into
// the sink; the server converts it to the sink's format. The command writes
// pacat's process id first and its exit status last.
class UnixTone : public PlayedTone {
  public:
    explicit UnixTone(const TestSink& sink) {
        static int count = 0;
        const std::string folder = server_folder();
        EXPECT_FALSE(folder.empty()) << "no server folder in PULSE_SERVER";
        const std::string base = folder + "/tone-" + std::to_string(GetCurrentProcessId()) + "-" +
                                 std::to_string(count++);
        const std::string samples = base + ".raw", pid = base + ".pid", status = base + ".status";
        samples_ = dos_name(samples);
        pid_ = dos_name(pid);
        status_ = dos_name(status);
        if (!write_tone()) {
            ADD_FAILURE() << "could not write " << samples;
            return;
        }
        started_ = run_unix("pacat --raw --format=float32le --rate=48000 --channels=2 --device='" +
                            std::string(sink.name) + "' '" + samples + "' & echo $! > '" + pid +
                            "'; wait $!; echo $? > '" + status + ".part'; mv '" + status +
                            ".part' '" + status + "'");
        EXPECT_TRUE(started_) << "could not start pacat";
    }

    ~UnixTone() override {
        if (started_ && !finished_) {
            std::string pid = read_text(pid_);
            pid.erase(pid.find_last_not_of(" \n") + 1);
            if (!pid.empty()) {
                run_unix("kill " + pid);
            }
            finish(5000);
        }
        for (const std::wstring* path : {&samples_, &pid_, &status_}) {
            DeleteFileW(path->c_str());
        }
    }

    bool wait() override {
        if (!started_) {
            return false;
        }
        finish(60000);
        EXPECT_TRUE(finished_) << "the tone did not end";
        const std::string status = read_text(status_);
        EXPECT_EQ(status, "0\n") << "pacat's exit status";
        return finished_ && status == "0\n";
    }

  private:
    bool write_tone() {
        constexpr int rate = 48000, seconds = 3;
        std::vector<float> samples(2 * rate * seconds);
        for (size_t i = 0; i < samples.size() / 2; ++i) {
            samples[2 * i] = samples[2 * i + 1] =
                0.5f * static_cast<float>(sin(2.0 * std::numbers::pi * 1000.0 * i / rate));
        }
        FILE* f = _wfopen(samples_.c_str(), L"wb");
        if (f == nullptr) {
            return false;
        }
        const bool written =
            fwrite(samples.data(), sizeof(float), samples.size(), f) == samples.size();
        return fclose(f) == 0 && written;
    }

    // Until the status file is there or `ms` have passed.
    void finish(int ms) {
        for (int waited = 0; waited < ms; waited += 20) {
            if (GetFileAttributesW(status_.c_str()) != INVALID_FILE_ATTRIBUTES) {
                finished_ = true;
                return;
            }
            Sleep(20);
        }
    }

    std::wstring samples_, pid_, status_;
    bool started_ = false;
    bool finished_ = false;
};

} // namespace

std::string sound_server_problem() {
    if (server_folder().empty()) {
        return "PULSE_SERVER does not name the fixture's socket: the Windows build's capture "
               "tests run through ctest, whose fixture starts the sound server";
    }
    return {};
}

// The driver reads PULSE_SERVER itself when it loads; nothing to point.
void use_sound_server() {}

std::unique_ptr<PlayedTone> play_test_tone(const TestSink& sink) {
    return std::make_unique<UnixTone>(sink);
}

ExpectedList expected_device_list() {
    using namespace test_devices;
    return {{kDriverDefaultOutput, kStereoDescription, kSurroundDescription, kAccentDescription,
             kMicFeedDescription},
            {kDriverDefaultInput, monitor_of(kStereoDescription),
             monitor_of(kSurroundDescription), monitor_of(kAccentDescription),
             monitor_of(kMicFeedDescription), kMicDescription},
            false};
}

// Wine lists the sinks' monitors as inputs: one is recorded as the
// microphone would be.
std::vector<EndToEnd> build_end_to_end_cases() {
    using namespace test_devices;
    return {{"Monitor2ch", {kStereoSink, kStereoDescription}, monitor_of(kStereoDescription), 1,
             48000, 2, 2}};
}

namespace {

// An object's reference count, read by taking and giving back one reference.
ULONG references(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// Wine keeps one enumerator and one object per endpoint for the process,
// and an audio client holds a reference on its endpoint. So what
// capture_create takes shows in those objects' counts: an enumerator, an
// endpoint or a client it failed to give back leaves a count raised.
class CaptureReferences : public Capture {
  protected:
    void SetUp() override {
        Capture::SetUp();
        ASSERT_FALSE(HasFatalFailure());
        ASSERT_GE(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator), enumerator_.receive_void()),
                  0);
        com_ptr<IMMDeviceEnumerator> again;
        ASSERT_GE(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator), again.receive_void()),
                  0);
        ASSERT_EQ(again.get(), enumerator_.get()) << "the enumerator is no longer one object";
    }
    void TearDown() override {
        enumerator_.reset(); // before COM goes
        Capture::TearDown();
    }

    // The endpoint capture_create opens for `id` (null: the flow's default),
    // checked to be the very object it will get.
    void open(const wchar_t* id, bool is_capture, com_ptr<IMMDevice>& device) {
        com_ptr<IMMDevice> again;
        if (id == nullptr) {
            EDataFlow flow = is_capture ? eCapture : eRender;
            ERole role = is_capture ? eCommunications : eConsole;
            ASSERT_GE(enumerator_->GetDefaultAudioEndpoint(flow, role, device.receive()), 0);
            ASSERT_GE(enumerator_->GetDefaultAudioEndpoint(flow, role, again.receive()), 0);
        } else {
            ASSERT_GE(enumerator_->GetDevice(id, device.receive()), 0);
            ASSERT_GE(enumerator_->GetDevice(id, again.receive()), 0);
        }
        ASSERT_EQ(again.get(), device.get()) << "the endpoint is no longer one object";
    }

    com_ptr<IMMDeviceEnumerator> enumerator_;
};

// A stream holds its endpoint through its client while it lives (which is
// what makes the counts see a client) and gives everything back when
// destroyed, started or not: on every output endpoint by loopback, the
// default one included, and on the default input, the microphone and a
// monitor.
TEST_F(CaptureReferences, StreamsGiveEverythingBackWhenDestroyed) {
    struct Device {
        std::wstring id; // empty: the flow's default
        int32_t is_capture;
    };
    std::vector<Device> devices{{L"", 0}};
    EndpointList list{};
    enumerate_endpoints(&list, false, kOwnEnumerator);
    for (int32_t i = 0; i < list.count; ++i) {
        devices.push_back({list.entries[i].device_id, 0});
    }
    endpoint_list_free(&list);
    ASSERT_EQ(devices.size(), 1 + expected_device_list().outputs.size());
    devices.push_back({L"", 1});
    devices.push_back({id_of(test_devices::kMicDescription), 1});
    devices.push_back({id_of(monitor_of(test_devices::kStereoDescription)), 1});
    ASSERT_FALSE(devices[devices.size() - 2].id.empty());
    ASSERT_FALSE(devices.back().id.empty());

    for (const Device& d : devices) {
        const wchar_t* id = d.id.empty() ? nullptr : d.id.c_str();
        for (bool started : {false, true}) {
            SCOPED_TRACE(testing::Message() << "flow " << d.is_capture << ", endpoint "
                                            << (id ? id : L"(default)") << ", started "
                                            << started);
            com_ptr<IMMDevice> device;
            open(id, d.is_capture != 0, device);
            ASSERT_FALSE(HasFatalFailure());
            const ULONG enumerator_refs = references(enumerator_.get());
            const ULONG device_refs = references(device.get());
            CaptureStream* stream = nullptr;
            ASSERT_EQ(capture_create(&stream, id, d.is_capture, kOwnEnumerator), 0);
            EXPECT_GT(references(device.get()), device_refs);
            EXPECT_EQ(references(enumerator_.get()), enumerator_refs);
            if (started) {
                ASSERT_EQ(capture_start(stream), 0);
                Sleep(50);
            }
            EXPECT_EQ(capture_stop(stream), 0);
            EXPECT_EQ(capture_destroy(&stream), 0);
            EXPECT_EQ(references(device.get()), device_refs);
            EXPECT_EQ(references(enumerator_.get()), enumerator_refs);
        }
    }
}

} // namespace

// --- Device changes ----------------------------------------------------------
// Wine 10 calls a notification client only when the default device in its own
// audio settings changes (the registry values that winecfg writes), from a
// thread of its own; its driver reads the server's devices once per process.

namespace {

// Until `done` holds, looking every 20 ms for at most `ms`; whether it held.
bool wait_until(const std::function<bool()>& done, DWORD ms) {
    for (const DWORD start = GetTickCount(); !done(); Sleep(20)) {
        if (GetTickCount() - start >= ms) {
            return done();
        }
    }
    return true;
}

// pactl on the fixture's server (PULSE_SERVER reaches it through Wine), run to
// its end: what it printed, or nothing when it failed.
std::optional<std::string> pactl(const std::string& arguments) {
    static int count = 0;
    const std::string base = server_folder() + "/pactl-" + std::to_string(GetCurrentProcessId()) +
                             "-" + std::to_string(count++);
    const std::wstring output = dos_name(base + ".out"), status = dos_name(base + ".status");
    run_unix("pactl " + arguments + " > '" + base + ".out' 2>&1; echo $? > '" + base +
             ".part'; mv '" + base + ".part' '" + base + ".status'");
    const bool ok =
        wait_until([&] { return GetFileAttributesW(status.c_str()) != INVALID_FILE_ATTRIBUTES; },
                   30000) &&
        read_text(status) == "0\n";
    const std::string text = read_text(output);
    EXPECT_TRUE(ok) << "pactl " << arguments << ": " << text;
    DeleteFileW(status.c_str());
    DeleteFileW(output.c_str());
    return ok ? std::optional(text) : std::nullopt;
}

// Sets a value of Wine's settings for its PulseAudio driver, as winecfg does
// (null: no value).
constexpr const wchar_t* kWinePulse = L"Software\\Wine\\Drivers\\winepulse.drv";

bool set_wine_pulse(const wchar_t* name, const wchar_t* text) {
    const LONG result =
        text ? RegSetKeyValueW(HKEY_CURRENT_USER, kWinePulse, name, REG_SZ, text,
                               static_cast<DWORD>((wcslen(text) + 1) * sizeof(WCHAR)))
             : RegDeleteKeyValueW(HKEY_CURRENT_USER, kWinePulse, name);
    return result == ERROR_SUCCESS || (!text && result == ERROR_FILE_NOT_FOUND);
}

constexpr UINT kDevicesChanged = WM_APP + 1;
constexpr UINT kCaptureFailed = WM_APP + 2;

// With a message-only window of the test's thread, for what the watcher and
// the capture thread post.
class WineDeviceChanges : public Capture {
  protected:
    void SetUp() override {
        Capture::SetUp();
        window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
    }
    void TearDown() override {
        DestroyWindow(window_);
        Capture::TearDown();
    }

    // Takes one `message` from the queue, waiting up to `ms` for it.
    bool take(UINT message, DWORD ms, MSG& msg) {
        return wait_until([&] { return PeekMessageW(&msg, window_, message, message, PM_REMOVE); },
                          ms);
    }
    // Takes every `message` waiting now; how many there were.
    int take_waiting(UINT message) {
        MSG msg;
        int n = 0;
        while (PeekMessageW(&msg, window_, message, message, PM_REMOVE)) {
            ++n;
        }
        return n;
    }

    HWND window_ = nullptr;
};

// Wine's enumerator takes no reference on a client it registers, and
// Windows' may: either way Unregister gives every one back and releasing the
// enumerator takes none away; a client not registered (any more) can't be
// unregistered. The watcher holds one enumerator reference while open and
// none once closed, whether its own or an audio-device context's, which
// holds one too; close refuses what is not open.
TEST_F(WineDeviceChanges, ClientsAndTheWatcherGiveEveryReferenceBack) {
    NotificationClient client, stranger;
    {
        com_ptr<IMMDeviceEnumerator> e;
        ASSERT_GE(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator), e.receive_void()),
                  0);
        EXPECT_EQ(e->RegisterEndpointNotificationCallback(nullptr), E_POINTER);
        EXPECT_EQ(e->UnregisterEndpointNotificationCallback(nullptr), E_POINTER);
        EXPECT_TRUE(FAILED(e->UnregisterEndpointNotificationCallback(&stranger)));
        for (int round = 0; round < 2; ++round) { // and registered again
            ASSERT_EQ(e->RegisterEndpointNotificationCallback(&client), S_OK);
            EXPECT_EQ(e->UnregisterEndpointNotificationCallback(&client), S_OK);
            EXPECT_EQ(client.refs(), 1u);
            EXPECT_TRUE(FAILED(e->UnregisterEndpointNotificationCallback(&client)));
        }

        const ULONG enumerator_refs = references(e.get());
        EXPECT_EQ(device_events_open(nullptr, window_, kDevicesChanged, kOwnEnumerator), -1);
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(round);
            DeviceEvents* events = nullptr;
            ASSERT_EQ(device_events_open(&events, window_, kDevicesChanged, kOwnEnumerator), 0);
            ASSERT_NE(events, nullptr);
            EXPECT_EQ(references(e.get()), enumerator_refs + 1);
            device_events_rearm(events);
            EXPECT_EQ(device_events_close(&events), 0);
            EXPECT_EQ(events, nullptr);
            EXPECT_EQ(references(e.get()), enumerator_refs);
            EXPECT_EQ(device_events_close(&events), -1);
        }

        AudioDevices* devices = nullptr;
        ASSERT_EQ(audio_devices_open(&devices), 0);
        DeviceEvents* events = nullptr;
        ASSERT_EQ(device_events_open(&events, window_, kDevicesChanged, devices), 0);
        EXPECT_EQ(references(e.get()), enumerator_refs + 2);
        EXPECT_EQ(audio_devices_close(&devices), 0);
        EXPECT_EQ(references(e.get()), enumerator_refs + 1) << "the watcher keeps it";
        EXPECT_EQ(device_events_close(&events), 0);
        EXPECT_EQ(references(e.get()), enumerator_refs);
    }
    EXPECT_EQ(client.refs(), 1u);
    EXPECT_EQ(stranger.refs(), 1u);
    EXPECT_EQ(device_events_close(nullptr), -1);
    device_events_rearm(nullptr);
    EXPECT_EQ(take_waiting(kDevicesChanged), 0);
}

// The one change Wine announces: the default output set in its audio
// settings. A client hears it for the console and multimedia roles with the
// new endpoint's id, the watcher posts one message for the pair, new
// captures of the default open that endpoint, and taking the setting away
// announces the driver's own default again. A closed watcher posts nothing.
TEST_F(WineDeviceChanges, ADefaultSetInWinesSettingsReachesClientsAndTheWindow) {
    // The tests share the prefix's registry: the setting goes back as it was.
    struct Restorer {
        WCHAR before[256];
        DWORD size = sizeof before;
        bool had = RegGetValueW(HKEY_CURRENT_USER, kWinePulse, L"DefaultOutput", RRF_RT_REG_SZ,
                                nullptr, before, &size) == ERROR_SUCCESS;
        ~Restorer() {
            set_wine_pulse(L"DefaultOutput", had ? before : nullptr);
            set_wine_pulse(L"TestNudge", nullptr);
        }
    } restore;
    ASSERT_TRUE(set_wine_pulse(L"DefaultOutput", nullptr));
    WCHAR driver_default[CAPTURE_TEXT_UNITS], id[CAPTURE_TEXT_UNITS];
    ASSERT_EQ(capture_default_id(0, driver_default, kOwnEnumerator), 0);
    const std::wstring surround = id_of(test_devices::kSurroundDescription);
    const std::wstring accents = id_of(test_devices::kAccentDescription);
    ASSERT_FALSE(surround.empty() || accents.empty());

    // The watcher first: Wine calls clients in the order they came, so once
    // the test's client has heard a change, the watcher has been told too.
    DeviceEvents* events = nullptr;
    ASSERT_EQ(device_events_open(&events, window_, kDevicesChanged, kOwnEnumerator), 0);
    struct Closer {
        DeviceEvents*& events;
        ~Closer() { device_events_close(&events); }
    } closer{events};
    com_ptr<IMMDeviceEnumerator> enumerator;
    ASSERT_GE(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                               __uuidof(IMMDeviceEnumerator), enumerator.receive_void()),
              0);
    NotificationClient client;
    ASSERT_EQ(client.listen(enumerator.get()), S_OK);
    // Sets the default output (null: none); whether both roles are told of
    // it. Wine's thread misses a change made while it still tells the last
    // one, and the same value written again is no change to it: another
    // value, changed every 500 ms up to `tries` times, makes it look again.
    int nudges = 0;
    auto set = [&](const wchar_t* to, int tries = 40) {
        const size_t mark = client.count();
        bool written = set_wine_pulse(L"DefaultOutput", to);
        for (int i = 0; written && i < tries; ++i) {
            if (client.wait_for_default(eRender, to ? to : driver_default, {eConsole, eMultimedia},
                                        mark, std::chrono::milliseconds(500))) {
                return true;
            }
            written = set_wine_pulse(L"TestNudge", std::to_wstring(++nudges).c_str());
        }
        return false;
    };

    // Wine's watching thread starts with the first registration and takes
    // the settings it then finds as its starting point, not as news: so the
    // setting goes back and forth until the thread announces a change.
    bool listening = false;
    for (int turn = 0; turn < 20 && !listening; ++turn) {
        listening = set(turn % 2 == 0 ? accents.c_str() : nullptr, 1);
    }
    ASSERT_TRUE(listening) << "Wine announced none of 20 changes of its default output";
    take_waiting(kDevicesChanged);
    device_events_rearm(events);

    ASSERT_TRUE(set(surround.c_str())) << client;
    MSG msg{};
    ASSERT_TRUE(take(kDevicesChanged, 10000, msg)) << "the watcher posted nothing";
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_EQ(msg.lParam, 0);
    EXPECT_EQ(take_waiting(kDevicesChanged), 0) << "more than one message for one change";
    ASSERT_EQ(capture_default_id(0, id, kOwnEnumerator), 0);
    EXPECT_EQ(std::wstring(id), surround);
    CaptureStream* stream = nullptr;
    ASSERT_EQ(capture_create(&stream, nullptr, 0, kOwnEnumerator), 0);
    EXPECT_EQ(std::wstring(capture_endpoint_id(stream)), surround);
    uint32_t rate = 0, channels = 0;
    capture_get_format(stream, &rate, &channels);
    EXPECT_EQ(rate, 96000u) << "not the surround sink's format";
    EXPECT_EQ(capture_destroy(&stream), 0);

    // Until the window takes the message, further changes post no more.
    ASSERT_TRUE(set(nullptr)) << client;
    EXPECT_EQ(take_waiting(kDevicesChanged), 0) << "posted again before it was rearmed";
    ASSERT_EQ(capture_default_id(0, id, kOwnEnumerator), 0);
    EXPECT_EQ(std::wstring(id), std::wstring(driver_default));

    device_events_rearm(events);
    ASSERT_TRUE(set(accents.c_str())) << client;
    EXPECT_TRUE(take(kDevicesChanged, 10000, msg)) << "no message after rearming";

    device_events_rearm(events);
    ASSERT_EQ(device_events_close(&events), 0);
    ASSERT_TRUE(set(nullptr)) << client;
    EXPECT_EQ(take_waiting(kDevicesChanged), 0) << "a closed watcher posted";
}

// A loopback capture of a sink that the server then unloads, loaded first
// thing: Wine lists it only when it was there before the process's first
// enumerator (CTest runs this case in a process of its own). Once the stream
// has died, Wine still answers "no packet"; only the padding tells, which the
// capture thread asks for after a quiet wait.
TEST_F(WineDeviceChanges, LoopbackOfASinkThatTheServerUnloads) {
    // No spaces in the description: the command line has no quoting left.
    const auto loaded = pactl("load-module module-null-sink sink_name=sonaret_probe rate=48000 "
                              "channels=2 sink_properties=device.description=Probe-Speakers");
    ASSERT_TRUE(loaded);
    struct Unloader { // however the test ends: the next cases share the server
        int module;
        ~Unloader() {
            if (module > 0) {
                pactl("unload-module " + std::to_string(module));
            }
        }
    } probe{atoi(loaded->c_str())};
    const std::wstring probe_id = id_of("Probe-Speakers");
    ASSERT_FALSE(probe_id.empty()) << "Wine's driver had read the devices before the sink came";

    CaptureStream* stream = nullptr;
    ASSERT_EQ(capture_create(&stream, probe_id.c_str(), 0, kOwnEnumerator), 0);
    EXPECT_EQ(std::wstring(capture_endpoint_id(stream)), probe_id);
    Recorded recorded;
    recorded.channels = 2;
    capture_set_callback(stream, record, &recorded);
    ASSERT_EQ(capture_set_notify(stream, window_, kCaptureFailed), 0);
    ASSERT_EQ(capture_start(stream), 0);
    ASSERT_TRUE(wait_until([&] { return recorded.packets >= 20; }, 20000))
        << "the new sink's loopback delivered no packets";
    EXPECT_EQ(capture_failure(stream), S_OK);

    ASSERT_TRUE(pactl("unload-module " + std::to_string(std::exchange(probe.module, 0))));
    MSG msg{};
    ASSERT_TRUE(take(kCaptureFailed, 10000, msg)) << "the window was not told";
    EXPECT_EQ(capture_failure(stream), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(static_cast<HRESULT>(static_cast<uint32_t>(msg.wParam)), capture_failure(stream));
    EXPECT_EQ(msg.lParam, 0);
    const int packets = recorded.packets;
    Sleep(500);
    EXPECT_EQ(recorded.packets, packets) << "nothing comes from a dead stream";
    EXPECT_EQ(take_waiting(kCaptureFailed), 0) << "the failure was posted more than once";
    EXPECT_EQ(capture_stop(stream), 0);
    EXPECT_EQ(recorded.bad_lengths, 0);
    EXPECT_EQ(capture_destroy(&stream), 0);
}

} // namespace
