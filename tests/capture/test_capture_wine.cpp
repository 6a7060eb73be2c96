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
// flow named after the driver that follows the server's default device; in
// an order of its own. It refuses loopback: the client initialises, then the
// capture service is refused (AUDCLNT_E_WRONG_ENDPOINT_TYPE). So loopback is
// tested here for how capture_create fails, and recording through input
// endpoints, a sink's monitor among them.
#include "capture_tests.h"

#include <objbase.h>
#include <mmdeviceapi.h>

#include <stdio.h>
#include <stdlib.h>

#include <numbers>

#include "com_ptr.h"

namespace {

// Wine's endpoint that follows the server's default device, one per flow.
constexpr const char* kDriverDefaultEndpoint = "PulseAudio";

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
    return {{kDriverDefaultEndpoint, kStereoDescription, kSurroundDescription, kAccentDescription,
             kMicFeedDescription},
            {kDriverDefaultEndpoint, monitor_of(kStereoDescription),
             monitor_of(kSurroundDescription), monitor_of(kAccentDescription),
             monitor_of(kMicFeedDescription), kMicDescription},
            false};
}

// What loopback would record, recorded from the sinks' monitors instead.
std::vector<EndToEnd> end_to_end_cases() {
    using namespace test_devices;
    const TestSink stereo{kStereoSink, kStereoDescription};
    const TestSink surround{kSurroundSink, kSurroundDescription};
    const TestSink mic_feed{kMicFeedSink, kMicFeedDescription};
    return {
        {"Microphone1ch", mic_feed, "", 1, 16000, 1, 1}, // the default input: the microphone
        {"Monitor2ch", stereo, monitor_of(kStereoDescription), 1, 48000, 2, 2},
        {"Monitor6ch", surround, monitor_of(kSurroundDescription), 1, 96000, 6, 2},
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

// Every output endpoint, the default one included: -1, a null handle, and
// every reference given back, however often it is tried.
TEST_F(CaptureReferences, LoopbackIsRefusedAndGivesEverythingBack) {
    EndpointList list{};
    enumerate_endpoints(&list, false);
    std::vector<std::wstring> ids{L""}; // the default output
    for (int32_t i = 0; i < list.count; ++i) {
        ids.push_back(list.entries[i].device_id);
    }
    endpoint_list_free(&list);
    ASSERT_EQ(ids.size(), 1 + expected_device_list().outputs.size());

    for (const std::wstring& id : ids) {
        const wchar_t* device_id = id.empty() ? nullptr : id.c_str();
        com_ptr<IMMDevice> device;
        open(device_id, false, device);
        ASSERT_FALSE(HasFatalFailure());
        const ULONG enumerator_refs = references(enumerator_.get());
        const ULONG device_refs = references(device.get());
        for (int round = 0; round < 20; ++round) {
            CaptureStream* stream = reinterpret_cast<CaptureStream*>(1);
            EXPECT_EQ(capture_create(&stream, device_id, 0), -1);
            EXPECT_EQ(stream, nullptr);
        }
        EXPECT_EQ(references(enumerator_.get()), enumerator_refs);
        EXPECT_EQ(references(device.get()), device_refs);
    }
}

// A stream holds its endpoint through its client while it lives (which is
// what makes the count above see a client) and gives everything back when
// destroyed, started or not.
TEST_F(CaptureReferences, StreamsGiveEverythingBackWhenDestroyed) {
    const std::wstring mic = id_of(test_devices::kMicDescription);
    const std::wstring monitor = id_of(monitor_of(test_devices::kStereoDescription));
    ASSERT_FALSE(mic.empty());
    ASSERT_FALSE(monitor.empty());
    for (const wchar_t* id : {static_cast<const wchar_t*>(nullptr), mic.c_str(), monitor.c_str()}) {
        for (bool started : {false, true}) {
            com_ptr<IMMDevice> device;
            open(id, true, device);
            ASSERT_FALSE(HasFatalFailure());
            const ULONG enumerator_refs = references(enumerator_.get());
            const ULONG device_refs = references(device.get());
            CaptureStream* stream = nullptr;
            ASSERT_EQ(capture_create(&stream, id, 1), 0);
            EXPECT_EQ(references(device.get()), device_refs + 1);
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
