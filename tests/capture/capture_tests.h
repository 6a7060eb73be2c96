// What the capture tests of both builds share: the fixture, a recorder of
// packets and a few signal helpers, and the declarations that each build
// defines in a file of its own (tests/CMakeLists.txt picks one):
//
//   test_capture_linux.cpp  the Linux build: the tests start the private
//                           sound server themselves and play tones with its
//                           client library; loopback records
//   test_capture_wine.cpp   the Windows build under Wine: CTest starts the
//                           server (a fixture) and Wine's PulseAudio driver
//                           reaches it; tones are played by pacat, started
//                           on the Unix side
//
// Each file also holds the tests that only its build can run.
#pragma once

#include <gtest/gtest.h>

#include <math.h>
#include <stdint.h>
#include <wchar.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "capture_stream.h"
#include "endpoints.h"
#include "pulse_devices.h"

// --- defined by each build's file -------------------------------------------

// A sink of the private server, by the name the server knows it by and the
// description endpoints carry as their friendly name.
struct TestSink {
    const char* name;
    const char* description;
};

// A test tone being played into a sink: 1 kHz at half scale, three seconds.
// Destroying it cuts it short.
class PlayedTone {
  public:
    virtual ~PlayedTone() = default;
    // Until it has been played; true when all of it was.
    virtual bool wait() = 0;
};

// Empty when the private server can be used; why not otherwise.
std::string sound_server_problem();
// Points this process's audio at the private server (again).
void use_sound_server();
std::unique_ptr<PlayedTone> play_test_tone(const TestSink& sink);

// The friendly names the device list holds after the two default entries,
// per flow, in UTF-8.
struct ExpectedList {
    std::vector<std::string> outputs;
    std::vector<std::string> inputs;
    bool in_server_order; // false: in an order of the platform's own
};
ExpectedList expected_device_list();

// One recording from a device into a file: the tone is played into `sink`
// while the device is recorded.
struct EndToEnd {
    std::string label;
    TestSink sink;
    std::string device; // the friendly name of the endpoint opened; empty: the default
    int32_t is_capture;
    uint32_t device_rate, device_channels;
    int file_channels;
};
inline void PrintTo(const EndToEnd& c, std::ostream* out) {
    *out << c.label;
}
// The recordings only this build can make (beside those of both builds in
// test_capture.cpp), each tested end to end.
std::vector<EndToEnd> build_end_to_end_cases();

// --- shared ------------------------------------------------------------------

// The device operations' context where a test wants what a session gets
// before it has one: each call makes an enumerator of its own.
constexpr AudioDevices* kOwnEnumerator = nullptr;

// UTF-8 to the platform's wide text (UTF-16 on Windows, UTF-32 on Linux).
inline std::wstring wide(const std::string& utf8) {
    std::wstring out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = utf8[i];
        const int extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        uint32_t v = extra == 0 ? c : c & (0x3F >> extra);
        for (int k = 1; k <= extra && i + k < utf8.size(); ++k) {
            v = (v << 6) | (utf8[i + k] & 0x3F);
        }
        if (sizeof(wchar_t) == 2 && v > 0xFFFF) {
            out.push_back(static_cast<wchar_t>(0xD800 + ((v - 0x10000) >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + ((v - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(v));
        }
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

inline int32_t record(void* user, const float* samples, int32_t byte_count) {
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

inline std::vector<float> channel_of(const std::vector<float>& interleaved, uint32_t channels,
                                     uint32_t c) {
    std::vector<float> out;
    for (size_t i = c; i < interleaved.size(); i += channels) {
        out.push_back(interleaved[i]);
    }
    return out;
}

inline std::wstring display_prefix(int32_t flow) {
    return flow == 0 ? L"电脑输出   ：" : L"麦克风输入 ：";
}

class Capture : public testing::Test {
  protected:
    void SetUp() override {
        const std::string problem = sound_server_problem();
        ASSERT_TRUE(problem.empty()) << problem;
        use_sound_server();
        ASSERT_GE(CoInitialize(nullptr), 0);
    }
    void TearDown() override { CoUninitialize(); }

    // The id of the listed endpoint with this friendly name (UTF-8); empty
    // when none has it.
    static std::wstring id_of(const std::string& friendly_name) {
        EndpointList list{};
        enumerate_all_endpoints(&list, kOwnEnumerator);
        std::wstring id;
        for (int32_t i = 0; i < list.count && id.empty(); ++i) {
            if (wide(friendly_name) == list.entries[i].friendly_name) {
                id = list.entries[i].device_id;
            }
        }
        endpoint_list_free(&list);
        return id;
    }
};
