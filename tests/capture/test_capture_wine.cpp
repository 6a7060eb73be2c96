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

#include "com_ptr.h"
#include "device_events.h"
#include "signals.h"

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
        char buffer[64];
        size_t n = fread(buffer, 1, sizeof buffer, f);
        text.assign(buffer, n);
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

// Loopback of the default output and of one chosen by its name, the
// microphone, and a sink's monitor opened as an input.
std::vector<EndToEnd> end_to_end_cases() {
    using namespace test_devices;
    const TestSink stereo{kStereoSink, kStereoDescription};
    const TestSink surround{kSurroundSink, kSurroundDescription};
    const TestSink mic_feed{kMicFeedSink, kMicFeedDescription};
    return {
        {"Loopback2ch", stereo, "", 0, 48000, 2, 2}, // the default output
        {"Microphone1ch", mic_feed, "", 1, 16000, 1, 1}, // the default input: the microphone
        {"Loopback6ch", surround, kSurroundDescription, 0, 96000, 6, 2},
        {"Monitor2ch", stereo, monitor_of(kStereoDescription), 1, 48000, 2, 2},
    };
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
    enumerate_endpoints(&list, false);
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
            ASSERT_EQ(capture_create(&stream, id, d.is_capture), 0);
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
//
// What Wine 10 tells a program when the sound devices change, and what the
// capture does then. Wine's driver reads the server's devices once per
// process, when the first enumerator is made, and keeps that list; its
// enumerator calls a notification client only for a change of the default
// device in Wine's own audio settings (the registry values that winecfg
// writes), from a thread of its own that watches them: nothing that
// happens on the sound server reaches a client, and a device that comes or
// goes is seen only by a program started afterwards. So the tests below
// check what Wine does deliver.

namespace {

// Until `done` holds, looking every 20 ms for at most `ms`; whether it held.
bool wait_until(const std::function<bool()>& done, DWORD ms) {
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start >= ms) {
            return done();
        }
        Sleep(20);
    }
    return true;
}

std::string read_all(const std::wstring& path) {
    std::string text;
    if (FILE* f = _wfopen(path.c_str(), L"rb")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
            text.append(buffer, n);
        }
        fclose(f);
    }
    return text;
}

// A Unix command line run to its end (30 s at most): its exit status and
// what it wrote.
struct UnixCommand {
    bool ended = false;
    int status = -1;
    std::string output;
};

UnixCommand run_unix_and_wait(const std::string& command) {
    static int count = 0;
    UnixCommand result;
    const std::string base = server_folder() + "/command-" +
                             std::to_string(GetCurrentProcessId()) + "-" + std::to_string(count++);
    const std::string output = base + ".out", status = base + ".status";
    const std::wstring output_file = dos_name(output), status_file = dos_name(status);
    if (!run_unix("(" + command + ") > '" + output + "' 2>&1; echo $? > '" + status +
                  ".part'; mv '" + status + ".part' '" + status + "'")) {
        return result;
    }
    result.ended = wait_until(
        [&] { return GetFileAttributesW(status_file.c_str()) != INVALID_FILE_ATTRIBUTES; }, 30000);
    if (result.ended) {
        result.status = atoi(read_all(status_file).c_str());
        result.output = read_all(output_file);
    }
    DeleteFileW(status_file.c_str());
    DeleteFileW(output_file.c_str());
    return result;
}

// pactl against the fixture's server (PULSE_SERVER reaches it through
// Wine): whether it ran and succeeded, and what it printed.
bool pactl(const std::string& arguments, std::string* printed = nullptr) {
    const UnixCommand c = run_unix_and_wait("pactl " + arguments);
    EXPECT_TRUE(c.ended) << "pactl " << arguments << " did not end";
    EXPECT_EQ(c.status, 0) << "pactl " << arguments << ": " << c.output;
    if (printed != nullptr) {
        *printed = c.output;
    }
    return c.ended && c.status == 0;
}

// A null sink of one test's own, unloaded when the test ends unless the
// test has unloaded it. The description has no spaces: the command line
// that carries it has no quoting left to give.
class ExtraSink {
  public:
    ExtraSink(const std::string& name, const std::string& description)
        : description_(description) {
        std::string printed;
        if (pactl("load-module module-null-sink sink_name=" + name +
                      " rate=48000 channels=2 sink_properties=device.description=" + description,
                  &printed)) {
            module_ = atoi(printed.c_str());
        }
    }
    ~ExtraSink() { unload(); }
    ExtraSink(const ExtraSink&) = delete;
    ExtraSink& operator=(const ExtraSink&) = delete;

    bool loaded() const { return module_ > 0; }
    const std::string& description() const { return description_; }
    bool unload() {
        if (!loaded()) {
            return false;
        }
        const bool done = pactl("unload-module " + std::to_string(module_));
        module_ = 0;
        return done;
    }

  private:
    std::string description_;
    int module_ = 0;
};

// Wine's audio settings for its PulseAudio driver: the default output, as
// winecfg sets it (an endpoint id, or no value for the driver's own
// default). Whatever the value was before comes back when the test ends:
// the tests share the prefix's registry.
class WineDefaultOutput {
  public:
    WineDefaultOutput() {
        ok_ = RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key_, nullptr) == ERROR_SUCCESS;
        WCHAR value[256];
        DWORD type = 0, size = sizeof value;
        if (ok_ && RegQueryValueExW(key_, kValue, nullptr, &type, reinterpret_cast<BYTE*>(value),
                                    &size) == ERROR_SUCCESS &&
            type == REG_SZ) {
            had_value_ = true;
            before_.assign(value, wcsnlen(value, size / sizeof(WCHAR)));
        }
    }
    ~WineDefaultOutput() {
        if (ok_) {
            if (had_value_) {
                set(before_);
            } else {
                clear();
            }
            RegCloseKey(key_);
        }
    }
    WineDefaultOutput(const WineDefaultOutput&) = delete;
    WineDefaultOutput& operator=(const WineDefaultOutput&) = delete;

    bool ok() const { return ok_; }
    bool set(const std::wstring& id) {
        return RegSetValueExW(key_, kValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(id.c_str()),
                              static_cast<DWORD>((id.size() + 1) * sizeof(WCHAR))) ==
               ERROR_SUCCESS;
    }
    bool clear() {
        const LONG result = RegDeleteValueW(key_, kValue);
        return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND;
    }

  private:
    static constexpr const wchar_t* kKey = L"Software\\Wine\\Drivers\\winepulse.drv";
    static constexpr const wchar_t* kValue = L"DefaultOutput";
    HKEY key_ = nullptr;
    bool ok_ = false;
    bool had_value_ = false;
    std::wstring before_;
};

// A notification client that keeps every call it gets, with the time it
// came, and counts the references others take on it. It lives on the
// test's stack: the count, not a delete, tells whether all went back. One
// that listens stops when it goes, so that no call reaches it afterwards
// (the tests' settings are put back after it has gone).
class ListeningClient final : public IMMNotificationClient {
  public:
    ListeningClient() = default;
    ~ListeningClient() { stop_listening(); }
    ListeningClient(const ListeningClient&) = delete;
    ListeningClient& operator=(const ListeningClient&) = delete;

    HRESULT listen(IMMDeviceEnumerator* enumerator) {
        const HRESULT hr = enumerator->RegisterEndpointNotificationCallback(this);
        if (SUCCEEDED(hr)) {
            enumerator_ = enumerator;
        }
        return hr;
    }
    HRESULT stop_listening() {
        if (enumerator_ == nullptr) {
            return S_FALSE;
        }
        const HRESULT hr = enumerator_->UnregisterEndpointNotificationCallback(this);
        enumerator_ = nullptr;
        return hr;
    }

    enum Kind { kStateChanged, kAdded, kRemoved, kDefaultChanged, kPropertyChanged };
    struct Call {
        Kind kind;
        std::wstring id;
        DWORD state;
        EDataFlow flow;
        ERole role;
        DWORD at; // GetTickCount
    };

    STDMETHOD(QueryInterface)(REFIID riid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (riid == __uuidof(IUnknown) || riid == __uuidof(IMMNotificationClient)) {
            *object = static_cast<IMMNotificationClient*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return ++refs_; }
    STDMETHOD_(ULONG, Release)() override { return --refs_; }

    STDMETHOD(OnDeviceStateChanged)(LPCWSTR id, DWORD state) override {
        return keep({kStateChanged, text(id), state, eAll, eConsole, 0});
    }
    STDMETHOD(OnDeviceAdded)(LPCWSTR id) override {
        return keep({kAdded, text(id), 0, eAll, eConsole, 0});
    }
    STDMETHOD(OnDeviceRemoved)(LPCWSTR id) override {
        return keep({kRemoved, text(id), 0, eAll, eConsole, 0});
    }
    STDMETHOD(OnDefaultDeviceChanged)(EDataFlow flow, ERole role, LPCWSTR id) override {
        return keep({kDefaultChanged, text(id), 0, flow, role, 0});
    }
    STDMETHOD(OnPropertyValueChanged)(LPCWSTR id, const PROPERTYKEY) override {
        return keep({kPropertyChanged, text(id), 0, eAll, eConsole, 0});
    }

    ULONG references() const { return refs_; }

    // The first call since `since` (GetTickCount) that `matches`, waiting
    // up to `ms` for it.
    bool wait_for(const std::function<bool(const Call&)>& matches, DWORD ms, DWORD since = 0,
                  Call* found = nullptr) {
        return wait_until(
            [&] {
                std::lock_guard guard(lock_);
                for (const Call& c : calls_) {
                    if (c.at - since < 0x80000000u && matches(c)) {
                        if (found != nullptr) {
                            *found = c;
                        }
                        return true;
                    }
                }
                return false;
            },
            ms);
    }
    bool heard_default(EDataFlow flow, ERole role, const std::wstring& id, DWORD ms,
                       DWORD since = 0, Call* found = nullptr) {
        return wait_for(
            [&](const Call& c) {
                return c.kind == kDefaultChanged && c.flow == flow && c.role == role && c.id == id;
            },
            ms, since, found);
    }

  private:
    static std::wstring text(LPCWSTR id) { return id != nullptr ? id : L""; }
    HRESULT keep(Call call) {
        call.at = GetTickCount();
        std::lock_guard guard(lock_);
        calls_.push_back(call);
        return S_OK;
    }

    IMMDeviceEnumerator* enumerator_ = nullptr;
    std::atomic<ULONG> refs_{1};
    std::mutex lock_;
    std::vector<Call> calls_;
};

// A message-only window of the test's thread, for the messages that the
// watcher and the capture thread post.
class MessageWindow {
  public:
    MessageWindow() {
        window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleW(nullptr), nullptr);
    }
    ~MessageWindow() {
        if (window_ != nullptr) {
            DestroyWindow(window_);
        }
    }
    MessageWindow(const MessageWindow&) = delete;
    MessageWindow& operator=(const MessageWindow&) = delete;

    HWND get() const { return window_; }

    // Takes one `message` from the queue, waiting up to `ms` for it.
    bool take(UINT message, DWORD ms, MSG* taken = nullptr) {
        MSG msg{};
        const bool got = wait_until(
            [&] { return PeekMessageW(&msg, window_, message, message, PM_REMOVE) != FALSE; }, ms);
        if (got && taken != nullptr) {
            *taken = msg;
        }
        return got;
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

  private:
    HWND window_ = nullptr;
};

constexpr UINT kDevicesChanged = WM_APP + 1;
constexpr UINT kCaptureFailed = WM_APP + 2;

class WineDeviceChanges : public Capture {
  protected:
    void TearDown() override {
        enumerator_.reset(); // before COM goes
        Capture::TearDown();
    }

    IMMDeviceEnumerator* enumerator() {
        if (!enumerator_) {
            EXPECT_GE(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                       __uuidof(IMMDeviceEnumerator),
                                       enumerator_.receive_void()),
                      0);
        }
        return enumerator_.get();
    }

    com_ptr<IMMDeviceEnumerator> enumerator_;
};

// Wine's enumerator takes no reference on a client it registers, and
// Windows' may: either way, every one is given back by Unregister, and the
// enumerator's release takes none away. A client that is not registered
// (any more) can't be unregistered.
TEST_F(WineDeviceChanges, ClientsRegisterAndGiveEveryReferenceBack) {
    ListeningClient client, stranger;
    const ULONG start = client.references();
    {
        com_ptr<IMMDeviceEnumerator> e;
        ASSERT_GE(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator), e.receive_void()),
                  0);
        EXPECT_EQ(e->RegisterEndpointNotificationCallback(nullptr), E_POINTER);
        ASSERT_EQ(e->RegisterEndpointNotificationCallback(&client), S_OK);
        EXPECT_GE(client.references(), start);
        EXPECT_TRUE(FAILED(e->UnregisterEndpointNotificationCallback(&stranger)));
        EXPECT_EQ(e->UnregisterEndpointNotificationCallback(&client), S_OK);
        EXPECT_EQ(client.references(), start);
        EXPECT_TRUE(FAILED(e->UnregisterEndpointNotificationCallback(&client)))
            << "unregistered twice";
        EXPECT_EQ(e->UnregisterEndpointNotificationCallback(nullptr), E_POINTER);

        // Registered again and released with the enumerator still holding it.
        ASSERT_EQ(e->RegisterEndpointNotificationCallback(&client), S_OK);
        EXPECT_EQ(e->UnregisterEndpointNotificationCallback(&client), S_OK);
    }
    EXPECT_EQ(client.references(), start);
    EXPECT_EQ(stranger.references(), start);
}

// The watcher holds one enumerator reference while open and none once
// closed; close refuses what is not open.
TEST_F(WineDeviceChanges, DeviceEventsOpenAndCloseOnWinesEnumerator) {
    MessageWindow window;
    ASSERT_NE(window.get(), nullptr);
    const ULONG enumerator_refs = references(enumerator());

    EXPECT_EQ(device_events_open(nullptr, window.get(), kDevicesChanged), -1);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        DeviceEvents* events = nullptr;
        ASSERT_EQ(device_events_open(&events, window.get(), kDevicesChanged), 0);
        ASSERT_NE(events, nullptr);
        EXPECT_EQ(references(enumerator()), enumerator_refs + 1);
        device_events_rearm(events);
        EXPECT_EQ(device_events_close(&events), 0);
        EXPECT_EQ(events, nullptr);
        EXPECT_EQ(references(enumerator()), enumerator_refs);
        EXPECT_EQ(device_events_close(&events), -1);
    }
    EXPECT_EQ(device_events_close(nullptr), -1);
    device_events_rearm(nullptr);
    EXPECT_EQ(window.take_waiting(kDevicesChanged), 0);
}

// The one change Wine announces: the default output set in its audio
// settings. A client hears it for the console and multimedia roles with the
// new endpoint's id, the watcher posts one message for the pair, new
// captures of the default open that endpoint, and taking the setting away
// announces the driver's own default again. A closed watcher posts nothing.
TEST_F(WineDeviceChanges, ADefaultSetInWinesSettingsReachesClientsAndTheWindow) {
    MessageWindow window;
    ASSERT_NE(window.get(), nullptr);
    WineDefaultOutput setting;
    ASSERT_TRUE(setting.ok());
    ASSERT_TRUE(setting.clear());
    WCHAR driver_default[CAPTURE_TEXT_UNITS];
    ASSERT_EQ(capture_default_id(0, driver_default), 0);
    const std::wstring surround = id_of(test_devices::kSurroundDescription);
    const std::wstring accents = id_of(test_devices::kAccentDescription);
    ASSERT_FALSE(surround.empty());
    ASSERT_FALSE(accents.empty());

    // The watcher first: Wine calls clients in the order they came, so once
    // the test's client has heard a change, the watcher has been told too.
    DeviceEvents* events = nullptr;
    ASSERT_EQ(device_events_open(&events, window.get(), kDevicesChanged), 0);
    struct Closer {
        DeviceEvents*& events;
        ~Closer() { device_events_close(&events); }
    } closer{events};
    ListeningClient client;
    ASSERT_EQ(client.listen(enumerator()), S_OK);

    // Wine's watching thread starts with the first registration and reads
    // the settings before it waits for changes: a change made before then
    // is its starting point, not news. So the setting goes back and forth
    // until the thread announces one, which shows that it is listening.
    bool listening = false;
    for (int turn = 0; turn < 20 && !listening; ++turn) {
        const DWORD at = GetTickCount();
        const bool set = turn % 2 == 0;
        ASSERT_TRUE(set ? setting.set(accents) : setting.clear());
        listening = client.heard_default(eRender, eMultimedia, set ? accents : driver_default,
                                         500, at);
    }
    ASSERT_TRUE(listening) << "Wine announced none of 20 changes of its default output";
    window.take_waiting(kDevicesChanged);
    device_events_rearm(events);

    const DWORD set_at = GetTickCount();
    ASSERT_TRUE(setting.set(surround));
    ListeningClient::Call heard{};
    ASSERT_TRUE(client.heard_default(eRender, eConsole, surround, 10000, set_at, &heard))
        << "no OnDefaultDeviceChanged for the output set in Wine's settings";
    printf("Wine 10 announced the default output set in its settings after %lu ms\n",
           heard.at - set_at);
    ASSERT_TRUE(client.heard_default(eRender, eMultimedia, surround, 10000, set_at));
    MSG msg{};
    ASSERT_TRUE(window.take(kDevicesChanged, 10000, &msg)) << "the watcher posted nothing";
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_EQ(msg.lParam, 0);
    EXPECT_EQ(window.take_waiting(kDevicesChanged), 0) << "more than one message for one change";

    WCHAR id[CAPTURE_TEXT_UNITS];
    ASSERT_EQ(capture_default_id(0, id), 0);
    EXPECT_EQ(std::wstring(id), surround);
    CaptureStream* stream = nullptr;
    ASSERT_EQ(capture_create(&stream, nullptr, 0), 0);
    EXPECT_EQ(std::wstring(stream->endpoint_id), surround);
    uint32_t rate = 0, channels = 0;
    capture_get_format(stream, &rate, &channels);
    EXPECT_EQ(rate, 96000u) << "not the surround sink's format";
    EXPECT_EQ(capture_destroy(&stream), 0);

    // Until the window takes the message, further changes post no more.
    const DWORD cleared_at = GetTickCount();
    ASSERT_TRUE(setting.clear());
    ASSERT_TRUE(client.heard_default(eRender, eMultimedia, driver_default, 10000, cleared_at));
    EXPECT_EQ(window.take_waiting(kDevicesChanged), 0) << "posted again before it was rearmed";
    ASSERT_EQ(capture_default_id(0, id), 0);
    EXPECT_EQ(std::wstring(id), std::wstring(driver_default));

    device_events_rearm(events);
    const DWORD rearmed_at = GetTickCount();
    ASSERT_TRUE(setting.set(accents));
    ASSERT_TRUE(client.heard_default(eRender, eMultimedia, accents, 10000, rearmed_at));
    EXPECT_TRUE(window.take(kDevicesChanged, 10000)) << "no message after rearming";

    device_events_rearm(events);
    ASSERT_EQ(device_events_close(&events), 0);
    const DWORD closed_at = GetTickCount();
    ASSERT_TRUE(setting.clear());
    ASSERT_TRUE(client.heard_default(eRender, eMultimedia, driver_default, 10000, closed_at));
    EXPECT_EQ(window.take_waiting(kDevicesChanged), 0) << "a closed watcher posted";
    EXPECT_EQ(client.stop_listening(), S_OK);
}

// A loopback capture of a sink that the server then unloads. Wine's driver
// lists the sink only when it was there before the process's first
// enumerator, so it is loaded first thing (ctest runs each case in a process
// of its own). The stream dies; Wine then goes on answering "no packet" to
// GetNextPacketSize, and only the padding tells, which the capture thread
// asks for after a quiet wait: the window is told once all the same.
TEST_F(WineDeviceChanges, LoopbackOfASinkThatTheServerUnloads) {
    ExtraSink probe("sonaret_probe", "Probe-Speakers");
    ASSERT_TRUE(probe.loaded());
    const std::wstring probe_id = id_of(probe.description());
    ASSERT_FALSE(probe_id.empty())
        << "Wine's driver had read the devices before the sink was loaded: run this case in a "
           "process of its own";
    MessageWindow window;
    ASSERT_NE(window.get(), nullptr);

    CaptureStream* stream = nullptr;
    ASSERT_EQ(capture_create(&stream, probe_id.c_str(), 0), 0);
    EXPECT_EQ(std::wstring(stream->endpoint_id), probe_id);
    Recorded recorded;
    recorded.channels = 2;
    capture_set_callback(stream, record, &recorded);
    ASSERT_EQ(capture_set_notify(stream, window.get(), kCaptureFailed), 0);
    ASSERT_EQ(capture_start(stream), 0);
    ASSERT_TRUE(wait_until([&] { return recorded.packets >= 20; }, 20000))
        << "the new sink's loopback delivered no packets";
    EXPECT_EQ(capture_failure(stream), S_OK);

    const DWORD unloaded_at = GetTickCount();
    ASSERT_TRUE(probe.unload());
    MSG msg{};
    ASSERT_TRUE(window.take(kCaptureFailed, 10000, &msg)) << "the window was not told";
    printf("the capture reported the unloaded sink after %lu ms\n", GetTickCount() - unloaded_at);
    EXPECT_EQ(capture_failure(stream), AUDCLNT_E_DEVICE_INVALIDATED);
    EXPECT_EQ(static_cast<HRESULT>(static_cast<uint32_t>(msg.wParam)), capture_failure(stream));
    EXPECT_EQ(msg.lParam, 0);
    const int packets = recorded.packets;
    Sleep(500);
    EXPECT_EQ(recorded.packets, packets) << "nothing comes from a dead stream";
    EXPECT_EQ(window.take_waiting(kCaptureFailed), 0) << "the failure was posted more than once";
    EXPECT_EQ(capture_stop(stream), 0);
    EXPECT_EQ(recorded.bad_lengths, 0);
    EXPECT_EQ(capture_destroy(&stream), 0);
}


} // namespace
