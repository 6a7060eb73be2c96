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

#include <numbers>

#include "com_ptr.h"

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
