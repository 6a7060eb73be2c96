// Core Audio over a private sound server: endpoints, formats, capture,
// loopback, the render stream, errors, a server that goes away, endpoint
// notifications and reconnection after the server comes back.
#include <windows.h>

#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>
#include <objbase.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "notification_client.h"
#include "pulse.h"
#include "pulse_server.h"
#include "signals.h"
#include "temp_dir.h"

namespace {

auto* const pulse_env = ::testing::AddGlobalTestEnvironment(new PulseServerEnvironment());

template <typename T> class Ref {
  public:
    Ref() = default;
    ~Ref() { reset(); }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** out() {
        reset();
        return &p_;
    }
    void** out_void() { return reinterpret_cast<void**>(out()); }
    void reset() {
        if (p_) {
            p_->Release();
            p_ = nullptr;
        }
    }

  private:
    T* p_ = nullptr;
};

std::wstring id_of(IMMDevice* device) {
    LPWSTR id = nullptr;
    if (FAILED(device->GetId(&id)) || !id) {
        return L"<no id>";
    }
    std::wstring text(id);
    CoTaskMemFree(id);
    return text;
}

std::wstring friendly_name(IMMDevice* device) {
    Ref<IPropertyStore> store;
    if (FAILED(device->OpenPropertyStore(STGM_READ, store.out()))) {
        return L"<no store>";
    }
    PROPVARIANT value;
    PropVariantInit(&value);
    if (FAILED(store->GetValue(PKEY_Device_FriendlyName, &value)) || value.vt != VT_LPWSTR) {
        return L"<no name>";
    }
    std::wstring name(value.pwszVal);
    PropVariantClear(&value);
    return name;
}

std::vector<std::wstring> endpoint_ids(IMMDeviceEnumerator* enumerator, EDataFlow flow) {
    std::vector<std::wstring> ids;
    Ref<IMMDeviceCollection> devices;
    if (FAILED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, devices.out()))) {
        return ids;
    }
    UINT count = 0;
    devices->GetCount(&count);
    for (UINT i = 0; i < count; ++i) {
        Ref<IMMDevice> device;
        if (SUCCEEDED(devices->Item(i, device.out()))) {
            ids.push_back(id_of(device.get()));
        }
    }
    return ids;
}

// The endpoints once `done` holds for them, or as they are after a few
// seconds. Each client of pipewire-pulse has a view of the devices of its
// own, which learns of a device that came or went a little after the
// command that made or removed it has returned.
std::vector<std::wstring>
endpoint_ids_once(IMMDeviceEnumerator* enumerator, EDataFlow flow,
                  const std::function<bool(const std::vector<std::wstring>&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::wstring> ids = endpoint_ids(enumerator, flow);
    while (!done(ids) && std::chrono::steady_clock::now() < deadline) {
        Sleep(10);
        ids = endpoint_ids(enumerator, flow);
    }
    return ids;
}

std::wstring wide(const char* ascii) {
    return std::wstring(ascii, ascii + strlen(ascii));
}

// What one capture run got: interleaved samples and each packet's size,
// device position and flags.
struct Captured {
    std::vector<float> samples;
    std::vector<UINT32> packet_frames;
    std::vector<UINT64> positions;
    std::vector<DWORD> flags;
    uint32_t channels = 0;
    int silent_packets = 0;
    int event_wakeups = 0;
    HRESULT failure = S_OK; // the first failing call, if any

    std::vector<float> channel(uint32_t c) const {
        std::vector<float> out;
        for (size_t i = c; i < samples.size(); i += channels) {
            out.push_back(samples[i]);
        }
        return out;
    }
};

// Drains packets as the program's capture thread does (event, then
// GetNextPacketSize/GetBuffer/ReleaseBuffer) until `enough` says so, a call
// fails, or the safety bound passes.
template <typename Enough>
Captured drain(IAudioCaptureClient* capture, HANDLE event, uint32_t channels, Enough enough,
               std::chrono::seconds bound = std::chrono::seconds(30)) {
    Captured got;
    got.channels = channels;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!enough(got) && std::chrono::steady_clock::now() < deadline) {
        if (WaitForSingleObject(event, 200) == WAIT_OBJECT_0) {
            ++got.event_wakeups;
        }
        for (;;) {
            UINT32 next = 0;
            HRESULT hr = capture->GetNextPacketSize(&next);
            if (FAILED(hr)) {
                got.failure = hr;
                return got;
            }
            if (next == 0) {
                break;
            }
            BYTE* data = nullptr;
            UINT32 frames = 0;
            DWORD flags = 0;
            UINT64 position = 0;
            hr = capture->GetBuffer(&data, &frames, &flags, &position, nullptr);
            if (FAILED(hr)) {
                got.failure = hr;
                return got;
            }
            if (hr == AUDCLNT_S_BUFFER_EMPTY || frames == 0) {
                break;
            }
            got.packet_frames.push_back(frames);
            got.positions.push_back(position);
            got.flags.push_back(flags);
            const auto* floats = reinterpret_cast<const float*>(data);
            if (flags & AUDCLNT_BUFFERFLAGS_SILENT) {
                ++got.silent_packets;
                got.samples.insert(got.samples.end(), size_t(frames) * channels, 0.0f);
            } else {
                got.samples.insert(got.samples.end(), floats, floats + size_t(frames) * channels);
            }
            hr = capture->ReleaseBuffer(frames);
            if (FAILED(hr)) {
                got.failure = hr;
                return got;
            }
        }
    }
    return got;
}

// Windows' shared-mode packets: every one exactly one 10 ms period, each
// starting where the last ended, none flagged (no data are lost, and this
// server's record streams have no holes).
void expect_period_packets(const Captured& got, uint32_t rate) {
    ASSERT_FALSE(got.packet_frames.empty());
    const UINT32 period = rate / 100;
    EXPECT_EQ(std::count(got.packet_frames.begin(), got.packet_frames.end(), period),
              std::ptrdiff_t(got.packet_frames.size()))
        << "packets of other sizes than " << period;
    size_t gaps = 0;
    for (size_t i = 1; i < got.positions.size(); ++i) {
        gaps += got.positions[i] != got.positions[i - 1] + period;
    }
    EXPECT_EQ(gaps, 0u) << "packets not following each other";
    EXPECT_EQ(std::count(got.flags.begin(), got.flags.end(), DWORD{0}),
              std::ptrdiff_t(got.flags.size()))
        << "flagged packets";
}

// The part of a signal from the first sample above `threshold` to the last.
std::vector<float> audible_part(const std::vector<float>& mono, float threshold = 0.05f) {
    auto loud = [threshold](float v) { return std::fabs(v) > threshold; };
    auto first = std::find_if(mono.begin(), mono.end(), loud);
    auto last = std::find_if(mono.rbegin(), mono.rend(), loud);
    if (first == mono.end()) {
        return {};
    }
    return std::vector<float>(first, last.base());
}

size_t count_audible(const std::vector<float>& mono, float threshold = 0.05f) {
    return static_cast<size_t>(std::count_if(
        mono.begin(), mono.end(), [threshold](float v) { return std::fabs(v) > threshold; }));
}

class CoreAudio : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        PulseServerEnvironment::server().use();
        ASSERT_EQ(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                   __uuidof(IMMDeviceEnumerator), enumerator_.out_void()),
                  S_OK);
        event_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        ASSERT_NE(event_, nullptr);
    }
    void TearDown() override {
        enumerator_.reset();
        if (event_) {
            CloseHandle(event_);
        }
        CoUninitialize();
    }

    PulseServer& server() { return PulseServerEnvironment::server(); }

    HRESULT device(const std::wstring& id, Ref<IMMDevice>& out) {
        return enumerator_->GetDevice(id.c_str(), out.out());
    }

    // An initialised client on the endpoint, in its mix format.
    HRESULT open(const std::wstring& id, DWORD flags, REFERENCE_TIME duration,
                 Ref<IAudioClient>& client, uint32_t* channels = nullptr,
                 uint32_t* rate = nullptr) {
        Ref<IMMDevice> dev;
        HRESULT hr = device(id, dev);
        if (FAILED(hr)) {
            return hr;
        }
        hr = dev->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.out_void());
        if (FAILED(hr)) {
            return hr;
        }
        WAVEFORMATEX* format = nullptr;
        hr = client->GetMixFormat(&format);
        if (FAILED(hr)) {
            return hr;
        }
        if (channels) {
            *channels = format->nChannels;
        }
        if (rate) {
            *rate = format->nSamplesPerSec;
        }
        hr = client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, duration, 0, format, nullptr);
        CoTaskMemFree(format);
        return hr;
    }

    // Loopback (or direct capture) with the event, started.
    HRESULT start_capture(const std::wstring& id, DWORD extra_flags, Ref<IAudioClient>& client,
                          Ref<IAudioCaptureClient>& capture, uint32_t& channels, uint32_t& rate) {
        HRESULT hr = open(id, AUDCLNT_STREAMFLAGS_EVENTCALLBACK | extra_flags, 10000000, client,
                          &channels, &rate);
        if (FAILED(hr)) {
            return hr;
        }
        if (FAILED(hr = client->SetEventHandle(event_)) ||
            FAILED(hr = client->GetService(__uuidof(IAudioCaptureClient), capture.out_void()))) {
            return hr;
        }
        return client->Start();
    }

    Ref<IMMDeviceEnumerator> enumerator_;
    HANDLE event_ = nullptr;
};

const std::wstring kStereo = L"sink:" + wide(PulseServer::kStereoSink);
const std::wstring kSurround = L"sink:" + wide(PulseServer::kSurroundSink);
const std::wstring kAccent = L"sink:" + wide(PulseServer::kAccentSink);
const std::wstring kMicFeed = L"sink:" + wide(PulseServer::kMicFeedSink);
const std::wstring kMic = L"source:" + wide(PulseServer::kMicSource);

using Endpoints = CoreAudio;

TEST_F(Endpoints, ListSinksAndNonMonitorSourcesInServerOrder) {
    EXPECT_EQ(endpoint_ids(enumerator_.get(), eRender),
              (std::vector<std::wstring>{kStereo, kSurround, kAccent, kMicFeed}));
    EXPECT_EQ(endpoint_ids(enumerator_.get(), eCapture), (std::vector<std::wstring>{kMic}));
    EXPECT_EQ(endpoint_ids(enumerator_.get(), eAll),
              (std::vector<std::wstring>{kStereo, kSurround, kAccent, kMicFeed, kMic}));

    // Nothing is unplugged, disabled or gone among null sinks.
    Ref<IMMDeviceCollection> others;
    ASSERT_EQ(enumerator_->EnumAudioEndpoints(
                  eAll, DEVICE_STATE_DISABLED | DEVICE_STATE_UNPLUGGED | DEVICE_STATE_NOTPRESENT,
                  others.out()),
              S_OK);
    UINT count = 99;
    EXPECT_EQ(others->GetCount(&count), S_OK);
    EXPECT_EQ(count, 0u);

    Ref<IMMDeviceCollection> bad;
    EXPECT_EQ(enumerator_->EnumAudioEndpoints(eRender, 0, bad.out()), E_INVALIDARG);
    EXPECT_EQ(
        enumerator_->EnumAudioEndpoints(static_cast<EDataFlow>(7), DEVICE_STATE_ACTIVE, bad.out()),
        E_INVALIDARG);
    EXPECT_EQ(enumerator_->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, nullptr), E_POINTER);
}

TEST_F(Endpoints, IdsRoundTripAndUnknownIdsAreNotFound) {
    Ref<IMMDeviceCollection> devices;
    ASSERT_EQ(enumerator_->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, devices.out()), S_OK);
    UINT count = 0;
    ASSERT_EQ(devices->GetCount(&count), S_OK);
    for (UINT i = 0; i < count; ++i) {
        Ref<IMMDevice> listed, found;
        ASSERT_EQ(devices->Item(i, listed.out()), S_OK);
        const std::wstring id = id_of(listed.get());
        ASSERT_EQ(device(id, found), S_OK) << "id " << std::string(id.begin(), id.end());
        EXPECT_EQ(id_of(found.get()), id);
        EXPECT_EQ(friendly_name(found.get()), friendly_name(listed.get()));
        DWORD state = 0;
        EXPECT_EQ(found->GetState(&state), S_OK);
        EXPECT_EQ(state, DWORD{DEVICE_STATE_ACTIVE});
    }
    Ref<IMMDevice> none;
    EXPECT_EQ(devices->Item(count, none.out()), E_INVALIDARG);
    EXPECT_EQ(none.get(), nullptr);
    EXPECT_EQ(devices->Item(0, nullptr), E_POINTER);
    EXPECT_EQ(devices->GetCount(nullptr), E_POINTER);

    for (const wchar_t* id : {L"", L"sink:", L"sink:nosuchsink", L"source:stereo48", L"stereo48",
                              L"SINK:stereo48", L"sink:stereo48 "}) {
        Ref<IMMDevice> d;
        EXPECT_EQ(enumerator_->GetDevice(id, d.out()), E_NOTFOUND)
            << std::string(id, id + wcslen(id));
        EXPECT_EQ(d.get(), nullptr);
    }
    Ref<IMMDevice> d;
    EXPECT_EQ(enumerator_->GetDevice(nullptr, d.out()), E_POINTER);
    EXPECT_EQ(enumerator_->GetDevice(kStereo.c_str(), nullptr), E_POINTER);
}

TEST_F(Endpoints, FriendlyNamesAreTheDescriptionsIncludingNonAscii) {
    const std::vector<std::pair<std::wstring, std::wstring>> expected{
        {kStereo, L"Stereo Speakers"},
        {kSurround, L"Surround Speakers"},
        {kAccent, L"Haut-parleurs Caf\u00e9 \u2014 Gr\u00fc\u00dfe \u266a"},
        {kMic, L"Test Microphone"}};
    for (const auto& [id, name] : expected) {
        Ref<IMMDevice> d;
        ASSERT_EQ(device(id, d), S_OK);
        EXPECT_EQ(friendly_name(d.get()), name);
    }

    Ref<IMMDevice> d;
    ASSERT_EQ(device(kStereo, d), S_OK);
    Ref<IPropertyStore> store;
    ASSERT_EQ(d->OpenPropertyStore(STGM_READ, store.out()), S_OK);
    PROPVARIANT value;
    PropVariantInit(&value);
    PROPERTYKEY other = PKEY_Device_FriendlyName;
    other.pid = 2; // same set, another property
    EXPECT_EQ(store->GetValue(other, &value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);
    EXPECT_EQ(store->GetValue(PKEY_Device_FriendlyName, nullptr), E_POINTER);
    Ref<IPropertyStore> writable;
    EXPECT_EQ(d->OpenPropertyStore(0x2 /* STGM_READWRITE */, writable.out()), E_INVALIDARG);
    EXPECT_EQ(d->GetId(nullptr), E_POINTER);
}

TEST_F(Endpoints, DefaultsFollowTheServerForEveryRole) {
    for (ERole role : {eConsole, eMultimedia, eCommunications}) {
        Ref<IMMDevice> render, capture;
        ASSERT_EQ(enumerator_->GetDefaultAudioEndpoint(eRender, role, render.out()), S_OK);
        ASSERT_EQ(enumerator_->GetDefaultAudioEndpoint(eCapture, role, capture.out()), S_OK);
        EXPECT_EQ(id_of(render.get()), kStereo);
        EXPECT_EQ(id_of(capture.get()), kMic);
    }
    Ref<IMMDevice> d;
    EXPECT_EQ(enumerator_->GetDefaultAudioEndpoint(eAll, eConsole, d.out()), E_INVALIDARG);
    EXPECT_EQ(enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, nullptr), E_POINTER);

    // A monitor chosen as the default source is what the server says. The
    // PulseAudio daemon answers every client with a new default at once;
    // pipewire-pulse tells each client on its own connection, a little
    // after the command, so there the test waits for it.
    const std::string monitor = std::string(PulseServer::kSurroundSink) + ".monitor";
    const std::wstring monitor_id = L"source:" + wide(monitor.c_str());
    const bool sink_set = server().set_default("sink", PulseServer::kSurroundSink);
    const bool source_set = server().set_default("source", monitor);
    const auto deadline =
        std::chrono::steady_clock::now() +
        std::chrono::seconds(PulseServer::kind() == SoundServerKind::PipeWire ? 10 : 0);
    std::wstring render_id, capture_id;
    for (;;) {
        Ref<IMMDevice> render, capture;
        render_id = enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, render.out()) == S_OK
                        ? id_of(render.get())
                        : L"(none)";
        capture_id = enumerator_->GetDefaultAudioEndpoint(eCapture, eConsole, capture.out()) == S_OK
                         ? id_of(capture.get())
                         : L"(none)";
        if ((render_id == kSurround && capture_id == monitor_id) ||
            std::chrono::steady_clock::now() >= deadline) {
            break;
        }
        Sleep(20);
    }
    // What the server says after the wait tells a client that missed the
    // change from a server that went back on it.
    const std::string server_said =
        server().default_device("sink") + " and " + server().default_device("source");
    EXPECT_TRUE(server().set_default("sink", PulseServer::kStereoSink));
    EXPECT_TRUE(server().set_default("source", PulseServer::kMicSource));
    ASSERT_TRUE(sink_set && source_set) << "the server kept " << server().default_device("sink")
                                        << " and " << server().default_device("source");
    EXPECT_EQ(render_id, kSurround) << "the server now says " << server_said;
    EXPECT_EQ(capture_id, monitor_id) << "the server now says " << server_said;
}

TEST_F(Endpoints, AddedDeviceAppearsAndRemovedOneIsGone) {
    const int module = server().load_module("module-null-sink",
                                            "sink_name=extra22 rate=22050 channels=1 "
                                            "sink_properties=\"device.description='Extra Sink'\"");
    ASSERT_GE(module, 0);
    std::vector<std::wstring> ids =
        endpoint_ids_once(enumerator_.get(), eRender, [](const std::vector<std::wstring>& now) {
            return !now.empty() && now.back() == L"sink:extra22";
        });
    ASSERT_FALSE(ids.empty());
    EXPECT_EQ(ids.back(), L"sink:extra22");
    Ref<IMMDevice> extra;
    ASSERT_EQ(device(L"sink:extra22", extra), S_OK);
    EXPECT_EQ(friendly_name(extra.get()), L"Extra Sink");

    ASSERT_TRUE(server().unload_module(module));
    ids = endpoint_ids_once(enumerator_.get(), eRender, [](const std::vector<std::wstring>& now) {
        return std::count(now.begin(), now.end(), L"sink:extra22") == 0;
    });
    EXPECT_EQ(std::count(ids.begin(), ids.end(), L"sink:extra22"), 0);
    Ref<IMMDevice> again;
    EXPECT_EQ(device(L"sink:extra22", again), E_NOTFOUND);
    DWORD state = 0;
    EXPECT_EQ(extra->GetState(&state), S_OK);
    EXPECT_EQ(state, DWORD{DEVICE_STATE_NOTPRESENT});
    Ref<IAudioClient> client;
    EXPECT_EQ(extra->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.out_void()),
              AUDCLNT_E_DEVICE_INVALIDATED);
}

using Formats = CoreAudio;

TEST_F(Formats, MixFormatIsFloatAtTheDevicesRateAndChannels) {
    struct Case {
        std::wstring id;
        DWORD rate;
        WORD channels;
        DWORD mask;
    };
    for (const Case& c : {Case{kSurround, 96000, 6, 0x3F}, Case{kStereo, 48000, 2, 0x3},
                          Case{kMic, 16000, 1, 0x4}, Case{kAccent, 44100, 2, 0x3}}) {
        Ref<IMMDevice> d;
        ASSERT_EQ(device(c.id, d), S_OK);
        Ref<IAudioClient> client;
        ASSERT_EQ(d->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.out_void()),
                  S_OK);
        WAVEFORMATEX* f = nullptr;
        ASSERT_EQ(client->GetMixFormat(&f), S_OK);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->wFormatTag, WAVE_FORMAT_EXTENSIBLE);
        EXPECT_EQ(f->nSamplesPerSec, c.rate);
        EXPECT_EQ(f->nChannels, c.channels);
        EXPECT_EQ(f->wBitsPerSample, 32);
        EXPECT_EQ(f->nBlockAlign, 4 * c.channels);
        EXPECT_EQ(f->nAvgBytesPerSec, 4 * c.channels * c.rate);
        EXPECT_EQ(f->cbSize, 22);
        const auto* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f);
        EXPECT_TRUE(x->SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
        EXPECT_EQ(x->Samples.wValidBitsPerSample, 32);
        EXPECT_EQ(x->dwChannelMask, c.mask);

        WAVEFORMATEX* closest = reinterpret_cast<WAVEFORMATEX*>(1);
        EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, f, &closest), S_OK);
        EXPECT_EQ(closest, nullptr);

        // Anything else is refused, never converted.
        WAVEFORMATEX pcm{WAVE_FORMAT_PCM,
                         c.channels,
                         c.rate,
                         2u * c.channels * c.rate,
                         static_cast<WORD>(2 * c.channels),
                         16,
                         0};
        EXPECT_EQ(client->IsFormatSupported(AUDCLNT_SHAREMODE_SHARED, &pcm, &closest), S_FALSE);
        ASSERT_NE(closest, nullptr);
        EXPECT_EQ(closest->nSamplesPerSec, c.rate);
        EXPECT_EQ(closest->wBitsPerSample, 32);
        CoTaskMemFree(closest);
        EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 10000000, 0, &pcm, nullptr),
                  AUDCLNT_E_UNSUPPORTED_FORMAT);
        WAVEFORMATEXTENSIBLE other_rate = *x;
        other_rate.Format.nSamplesPerSec = c.rate == 48000 ? 44100 : 48000;
        other_rate.Format.nAvgBytesPerSec = other_rate.Format.nSamplesPerSec * 4 * c.channels;
        EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 10000000, 0, &other_rate.Format,
                                     nullptr),
                  AUDCLNT_E_UNSUPPORTED_FORMAT);
        // The plain float tag with the right numbers is the same format.
        WAVEFORMATEX plain{WAVE_FORMAT_IEEE_FLOAT,
                           c.channels,
                           c.rate,
                           4u * c.channels * c.rate,
                           static_cast<WORD>(4 * c.channels),
                           32,
                           0};
        EXPECT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 10000000, 0, &plain, nullptr),
                  S_OK);
        CoTaskMemFree(f);
    }
}

using Capture = CoreAudio;

// A tone's frequency from a quarter of a second in the middle of what was
// heard: the player's own dropout on a busy machine (milliseconds of its
// tone missing) is no fault of the capture's.
double heard_frequency(const std::vector<float>& heard, uint32_t rate) {
    const size_t window = rate / 4;
    return zero_crossing_frequency(
        heard.size() > window ? middle(heard, (heard.size() - window) / 2) : heard, rate);
}

TEST_F(Capture, LoopbackDeliversAPlayedToneInPeriodPackets) {
    Ref<IAudioClient> client;
    Ref<IAudioCaptureClient> capture;
    uint32_t channels = 0, rate = 0;
    ASSERT_EQ(start_capture(kStereo, AUDCLNT_STREAMFLAGS_LOOPBACK, client, capture, channels, rate),
              S_OK);
    ASSERT_EQ(channels, 2u);
    auto tone = server().play_tone(PulseServer::kStereoSink, {1000.0, 0.5f, 3.0, 48000, 2});
    // One second of the tone, wherever it starts.
    Captured got = drain(capture.get(), event_, channels,
                         [&](const Captured& c) { return count_audible(c.channel(0)) >= rate; });
    tone->stop();
    EXPECT_TRUE(tone->ok());
    ASSERT_EQ(got.failure, S_OK);
    EXPECT_GT(got.event_wakeups, 0);
    for (uint32_t ch = 0; ch < channels; ++ch) {
        std::vector<float> heard = audible_part(got.channel(ch));
        ASSERT_GE(heard.size(), rate / 2) << "channel " << ch;
        EXPECT_NEAR(heard_frequency(heard, rate), 1000.0, 10.0) << "channel " << ch;
        EXPECT_NEAR(rms(middle(heard, rate / 10)), 0.5 / std::sqrt(2.0), 0.03) << "channel " << ch;
    }
    // 480 frames each, whatever fragments the server sent: the fixture's
    // low-latency streams on this sink make them a few milliseconds.
    expect_period_packets(got, rate);
    EXPECT_EQ(got.packet_frames.front(), 480u);
    EXPECT_EQ(client->Stop(), S_OK);
}

TEST_F(Capture, LoopbackOfTheSixChannelSinkCarriesEveryChannelInSpeakerOrder) {
    Ref<IAudioClient> client;
    Ref<IAudioCaptureClient> capture;
    uint32_t channels = 0, rate = 0;
    ASSERT_EQ(
        start_capture(kSurround, AUDCLNT_STREAMFLAGS_LOOPBACK, client, capture, channels, rate),
        S_OK);
    ASSERT_EQ(channels, 6u);
    ASSERT_EQ(rate, 96000u);
    // One frequency per channel, in the sink's own order: FL FR RL RR FC LFE.
    const std::vector<double> played{500, 700, 1100, 1300, 1700, 1900};
    ToneSpec spec{1000.0, 0.4f, 3.0, 96000, 6, played, PulseServer::kSurroundMap};
    auto tone = server().play_tone(PulseServer::kSurroundSink, spec);
    Captured got = drain(capture.get(), event_, channels,
                         [&](const Captured& c) { return count_audible(c.channel(0)) >= rate; });
    tone->stop();
    EXPECT_TRUE(tone->ok());
    ASSERT_EQ(got.failure, S_OK);
    expect_period_packets(got, rate);
    EXPECT_EQ(got.packet_frames.front(), 960u);
    // Delivered in speaker-bit order, as the mask 0x3F says: FL FR FC LFE RL RR.
    const std::vector<double> expected{500, 700, 1700, 1900, 1100, 1300};
    for (uint32_t ch = 0; ch < channels; ++ch) {
        std::vector<float> heard = audible_part(got.channel(ch));
        ASSERT_GE(heard.size(), rate / 2) << "channel " << ch;
        EXPECT_NEAR(heard_frequency(heard, rate), expected[ch], expected[ch] / 100)
            << "channel " << ch;
        EXPECT_NEAR(rms(middle(heard, rate / 10)), 0.4 / std::sqrt(2.0), 0.03) << "channel " << ch;
    }
}

TEST_F(Capture, MicrophoneDeliversMono16k) {
    Ref<IAudioClient> client;
    Ref<IAudioCaptureClient> capture;
    uint32_t channels = 0, rate = 0;
    ASSERT_EQ(start_capture(kMic, 0, client, capture, channels, rate), S_OK);
    ASSERT_EQ(channels, 1u);
    ASSERT_EQ(rate, 16000u);
    auto tone = server().play_tone(PulseServer::kMicFeedSink, {440.0, 0.5f, 3.0, 48000, 1});
    Captured got = drain(capture.get(), event_, channels,
                         [&](const Captured& c) { return count_audible(c.samples) >= rate; });
    tone->stop();
    ASSERT_EQ(got.failure, S_OK);
    expect_period_packets(got, rate);
    EXPECT_EQ(got.packet_frames.front(), 160u);
    std::vector<float> heard = audible_part(got.samples);
    ASSERT_GE(heard.size(), rate / 2);
    EXPECT_NEAR(heard_frequency(heard, rate), 440.0, 5.0);
    EXPECT_GT(tone_energy_share(middle(heard, rate / 10), rate, 440.0), 0.9);
}

TEST_F(Capture, PacketsComeAndGoInOrderAndResetEmptiesTheBuffer) {
    Ref<IAudioClient> client;
    Ref<IAudioCaptureClient> capture;
    ASSERT_EQ(open(kStereo, AUDCLNT_STREAMFLAGS_LOOPBACK, 10000000, client), S_OK);
    ASSERT_EQ(client->GetService(__uuidof(IAudioCaptureClient), capture.out_void()), S_OK);
    // Not started: nothing arrives.
    BYTE* data = reinterpret_cast<BYTE*>(1);
    UINT32 frames = 7;
    DWORD flags = 7;
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_S_BUFFER_EMPTY);
    EXPECT_EQ(frames, 0u);
    UINT32 next = 7;
    EXPECT_EQ(capture->GetNextPacketSize(&next), S_OK);
    EXPECT_EQ(next, 0u);
    EXPECT_EQ(capture->ReleaseBuffer(0), AUDCLNT_E_OUT_OF_ORDER);

    ASSERT_EQ(client->Start(), S_OK);
    EXPECT_EQ(client->Start(), AUDCLNT_E_NOT_STOPPED);
    auto tone = server().play_tone(PulseServer::kStereoSink, {1000.0, 0.5f, 2.0, 48000, 2});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (next == 0 && std::chrono::steady_clock::now() < deadline) {
        Sleep(10);
        ASSERT_EQ(capture->GetNextPacketSize(&next), S_OK);
    }
    ASSERT_EQ(next, 480u);
    UINT32 padding = 0;
    EXPECT_EQ(client->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, 480u); // the next packet, as Windows counts it for capture
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(frames, next);
    const UINT32 packet = frames;
    std::vector<BYTE> first(data, data + packet * 8);
    BYTE* ignored = nullptr;
    EXPECT_EQ(capture->GetBuffer(&ignored, &frames, &flags, nullptr, nullptr),
              AUDCLNT_E_OUT_OF_ORDER);
    frames = packet;
    EXPECT_EQ(capture->ReleaseBuffer(frames + 1), AUDCLNT_E_INVALID_SIZE);
    if (frames > 1) {
        EXPECT_EQ(capture->ReleaseBuffer(frames - 1), AUDCLNT_E_INVALID_SIZE);
    }
    // Releasing nothing hands the same packet out again.
    EXPECT_EQ(capture->ReleaseBuffer(0), S_OK);
    BYTE* again = nullptr;
    UINT32 again_frames = 0;
    ASSERT_EQ(capture->GetBuffer(&again, &again_frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(again_frames, frames);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), again));
    EXPECT_EQ(capture->ReleaseBuffer(again_frames), S_OK);
    EXPECT_EQ(capture->ReleaseBuffer(again_frames), AUDCLNT_E_OUT_OF_ORDER);

    // Stopped with packets waiting: Reset refuses while one is out, then
    // empties the buffer, and the position starts again at 0.
    next = 0;
    while (next == 0 && std::chrono::steady_clock::now() < deadline) {
        Sleep(10);
        ASSERT_EQ(capture->GetNextPacketSize(&next), S_OK);
    }
    EXPECT_EQ(client->Reset(), AUDCLNT_E_NOT_STOPPED);
    EXPECT_EQ(client->Stop(), S_OK);
    EXPECT_EQ(client->Stop(), S_FALSE);
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    EXPECT_EQ(client->Reset(), AUDCLNT_E_OUT_OF_ORDER);
    EXPECT_EQ(capture->ReleaseBuffer(0), S_OK);
    EXPECT_EQ(client->Reset(), S_OK);
    EXPECT_EQ(capture->GetNextPacketSize(&next), S_OK);
    EXPECT_EQ(next, 0u);
    EXPECT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), AUDCLNT_S_BUFFER_EMPTY);
    ASSERT_EQ(client->Start(), S_OK);
    while (next == 0 && std::chrono::steady_clock::now() < deadline) {
        Sleep(10);
        ASSERT_EQ(capture->GetNextPacketSize(&next), S_OK);
    }
    UINT64 position = 99;
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &position, nullptr), S_OK);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(capture->ReleaseBuffer(frames), S_OK);
    EXPECT_EQ(client->Stop(), S_OK);
    tone->stop();
}

TEST_F(Capture, StalledReaderLosesTheNewestDataThenGetsADiscontinuity) {
    Ref<IAudioClient> client;
    Ref<IAudioCaptureClient> capture;
    uint32_t channels = 0, rate = 0;
    ASSERT_EQ(start_capture(kStereo, AUDCLNT_STREAMFLAGS_LOOPBACK, client, capture, channels, rate),
              S_OK);
    UINT32 size = 0;
    ASSERT_EQ(client->GetBufferSize(&size), S_OK);
    ASSERT_EQ(size, rate); // one second, 100 periods
    const UINT32 period = rate / 100;
    auto tone = server().play_tone(PulseServer::kStereoSink, {1000.0, 0.5f, 10.0, 48000, 2});
    Captured playing = drain(capture.get(), event_, channels, [&](const Captured& c) {
        return count_audible(c.channel(0)) >= rate / 5;
    });
    ASSERT_EQ(playing.failure, S_OK);

    // Hold a packet and stop reading for well over the buffer's second.
    UINT32 next = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (next == 0 && std::chrono::steady_clock::now() < deadline) {
        WaitForSingleObject(event_, 200);
        ASSERT_EQ(capture->GetNextPacketSize(&next), S_OK);
    }
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    UINT64 held_position = 0;
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, &held_position, nullptr), S_OK);
    ASSERT_EQ(frames, period);
    const std::vector<BYTE> copy(data, data + size_t(frames) * channels * 4);
    Sleep(2500);
    // The packet that was out is as it was: a full buffer drops what arrives.
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), data));
    ASSERT_EQ(capture->ReleaseBuffer(frames), S_OK);

    Captured got = drain(capture.get(), event_, channels, [&](const Captured& c) {
        auto flagged = std::find(c.flags.begin(), c.flags.end(),
                                 DWORD{AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY});
        return flagged != c.flags.end() && size_t(c.flags.end() - flagged) > 100;
    });
    tone->stop();
    ASSERT_EQ(got.failure, S_OK);
    // The 99 periods that filled the buffer behind the held one, then the
    // first after the gap, flagged and further on than one period.
    const auto flagged = std::find(got.flags.begin(), got.flags.end(),
                                   DWORD{AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY});
    ASSERT_NE(flagged, got.flags.end());
    const size_t gap = size_t(flagged - got.flags.begin());
    EXPECT_EQ(gap, size / period - 1);
    EXPECT_EQ(std::count(got.flags.begin(), got.flags.end(), DWORD{0}),
              std::ptrdiff_t(got.flags.size() - 1));
    ASSERT_GT(gap, 0u);
    EXPECT_EQ(got.positions.front(), held_position + period);
    EXPECT_GT(got.positions[gap], got.positions[gap - 1] + period);
    // Before and after the gap: whole packets of the tone.
    Captured before = got, after = got;
    before.samples.resize(gap * period * channels);
    after.samples.erase(after.samples.begin(), after.samples.begin() + gap * period * channels);
    for (const Captured* part : {&before, &after}) {
        SCOPED_TRACE(part == &before ? "before the gap" : "after the gap");
        std::vector<float> heard = audible_part(part->channel(0));
        ASSERT_GE(heard.size(), rate / 2);
        // By energy rather than zero crossings: a player starved for a moment
        // on a busy machine leaves a short silence, which is not our fault.
        EXPECT_GT(tone_energy_share(heard, rate, 1000.0), 0.9);
        // Sounding throughout, bar a few samples near a zero crossing.
        EXPECT_NEAR(double(heard.size()), double(part->samples.size() / channels), rate / 1000);
    }
    // From the gap on, the stream goes on as before.
    after.packet_frames.erase(after.packet_frames.begin(), after.packet_frames.begin() + gap);
    after.positions.erase(after.positions.begin(), after.positions.begin() + gap);
    after.flags.erase(after.flags.begin(), after.flags.begin() + gap + 1);
    expect_period_packets(after, rate);
}

using Render = CoreAudio;

TEST_F(Render, WrittenToneIsPlayedThenSilenceKeepsLoopbackGoing) {
    Ref<IAudioClient> render;
    uint32_t channels = 0, rate = 0;
    ASSERT_EQ(open(kAccent, 0, 10000000, render, &channels, &rate), S_OK);
    UINT32 size = 0;
    ASSERT_EQ(render->GetBufferSize(&size), S_OK);
    EXPECT_EQ(size, rate);
    Ref<IAudioRenderClient> writer;
    ASSERT_EQ(render->GetService(__uuidof(IAudioRenderClient), writer.out_void()), S_OK);

    // Half a second of 500 Hz, written in two pieces.
    const UINT32 tone_frames = rate / 2;
    std::vector<float> tone = make_tone(static_cast<int32_t>(tone_frames),
                                        static_cast<int32_t>(channels), rate, 500.0, {0.5f, 0.5f});
    BYTE* data = nullptr;
    EXPECT_EQ(writer->GetBuffer(size + 1, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    for (UINT32 start : {0u, tone_frames / 2}) {
        const UINT32 n = tone_frames / 2;
        ASSERT_EQ(writer->GetBuffer(n, &data), S_OK);
        memcpy(data, tone.data() + size_t(start) * channels, size_t(n) * channels * 4);
        ASSERT_EQ(writer->ReleaseBuffer(n, 0), S_OK);
    }
    UINT32 padding = 0;
    EXPECT_EQ(render->GetCurrentPadding(&padding), S_OK);
    EXPECT_LE(padding, tone_frames);
    EXPECT_EQ(writer->GetBuffer(size - padding + 1, &data), AUDCLNT_E_BUFFER_TOO_LARGE);
    EXPECT_EQ(writer->ReleaseBuffer(1, 0), AUDCLNT_E_OUT_OF_ORDER);

    Ref<IAudioClient> loop;
    Ref<IAudioCaptureClient> capture;
    uint32_t loop_channels = 0, loop_rate = 0;
    ASSERT_EQ(start_capture(kAccent, AUDCLNT_STREAMFLAGS_LOOPBACK, loop, capture, loop_channels,
                            loop_rate),
              S_OK);
    ASSERT_EQ(render->Start(), S_OK);
    // The tone, then two seconds after its end: the ring runs dry after half a
    // second and the stream goes on with silence.
    Captured got = drain(capture.get(), event_, loop_channels, [&](const Captured& c) {
        std::vector<float> left = c.channel(0);
        auto last =
            std::find_if(left.rbegin(), left.rend(), [](float v) { return std::fabs(v) > 0.05f; });
        return last != left.rend() && size_t(last - left.rbegin()) >= 2 * size_t(rate);
    });
    ASSERT_EQ(got.failure, S_OK);
    // 44.1 kHz: 441 frames, an odd count.
    expect_period_packets(got, loop_rate);
    EXPECT_EQ(got.packet_frames.front(), 441u);
    std::vector<float> left = got.channel(0);
    std::vector<float> heard = audible_part(left);
    // The whole half second, no more (a few samples near zero crossings are
    // under the threshold at each end).
    EXPECT_NEAR(double(heard.size()), double(tone_frames), rate * 0.01);
    EXPECT_NEAR(heard_frequency(heard, rate), 500.0, 5.0);
    auto end =
        std::find_if(left.rbegin(), left.rend(), [](float v) { return std::fabs(v) > 0.05f; });
    // After the tone's last half wave, nothing but zeros.
    std::vector<float> after(end.base() + rate / 500, left.end());
    ASSERT_GE(after.size(), size_t(rate));
    EXPECT_EQ(count_audible(after, 1e-6f), 0u);
    EXPECT_EQ(render->GetCurrentPadding(&padding), S_OK);
    EXPECT_EQ(padding, 0u);

    // Still one of the sink's streams.
    std::vector<SinkInput> inputs = server().sink_inputs();
    EXPECT_EQ(
        std::count_if(inputs.begin(), inputs.end(),
                      [](const SinkInput& in) { return in.sink == PulseServer::kAccentSink; }),
        1);
    EXPECT_EQ(render->Stop(), S_OK);
}

TEST_F(Render, SilentStreamFilledOnceKeepsTheSinkDelivering) {
    Ref<IAudioClient> render;
    ASSERT_EQ(open(kStereo, 0, 2000000 /* 200 ms */, render), S_OK);
    UINT32 size = 0;
    ASSERT_EQ(render->GetBufferSize(&size), S_OK);
    EXPECT_EQ(size, 48000u / 5);
    Ref<IAudioRenderClient> writer;
    ASSERT_EQ(render->GetService(__uuidof(IAudioRenderClient), writer.out_void()), S_OK);
    BYTE* data = nullptr;
    ASSERT_EQ(writer->GetBuffer(size, &data), S_OK);
    memset(data, 0x7f, size_t(size) * 8); // garbage that the SILENT flag must hide
    ASSERT_EQ(writer->ReleaseBuffer(size, AUDCLNT_BUFFERFLAGS_SILENT), S_OK);
    ASSERT_EQ(render->Start(), S_OK);

    Ref<IAudioClient> loop;
    Ref<IAudioCaptureClient> capture;
    uint32_t channels = 0, rate = 0;
    ASSERT_EQ(start_capture(kStereo, AUDCLNT_STREAMFLAGS_LOOPBACK, loop, capture, channels, rate),
              S_OK);
    // Ten times the buffer keeps arriving, all of it silence.
    Captured got = drain(capture.get(), event_, channels, [&](const Captured& c) {
        return c.samples.size() >= size_t(10) * size * channels;
    });
    ASSERT_EQ(got.failure, S_OK);
    EXPECT_GE(got.samples.size(), size_t(10) * size * channels);
    EXPECT_EQ(count_audible(got.samples, 1e-6f), 0u);
    std::vector<SinkInput> inputs = server().sink_inputs();
    EXPECT_EQ(
        std::count_if(inputs.begin(), inputs.end(),
                      [](const SinkInput& in) { return in.sink == PulseServer::kStereoSink; }),
        1);
}

using Errors = CoreAudio;

TEST_F(Errors, MisuseGetsTheWindowsResults) {
    Ref<IAudioClient> mic;
    {
        Ref<IMMDevice> d;
        ASSERT_EQ(device(kMic, d), S_OK);
        ASSERT_EQ(d->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, mic.out_void()), S_OK);
        Ref<IUnknown> unknown;
        EXPECT_EQ(d->Activate(__uuidof(IMMDevice), CLSCTX_ALL, nullptr, unknown.out_void()),
                  E_NOINTERFACE);
    }
    Ref<IAudioCaptureClient> early;
    EXPECT_EQ(mic->GetService(__uuidof(IAudioCaptureClient), early.out_void()),
              AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(mic->Start(), AUDCLNT_E_NOT_INITIALIZED);
    EXPECT_EQ(mic->SetEventHandle(event_), AUDCLNT_E_NOT_INITIALIZED);
    UINT32 frames = 0;
    EXPECT_EQ(mic->GetBufferSize(&frames), AUDCLNT_E_NOT_INITIALIZED);

    WAVEFORMATEX* f = nullptr;
    ASSERT_EQ(mic->GetMixFormat(&f), S_OK);
    EXPECT_EQ(mic->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK, 10000000, 0,
                              f, nullptr),
              AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    EXPECT_EQ(mic->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 10000000, 0, nullptr, nullptr),
              E_POINTER);
    ASSERT_EQ(mic->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 10000000, 0, f, nullptr), S_OK);
    EXPECT_EQ(mic->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 10000000, 0, f, nullptr),
              AUDCLNT_E_ALREADY_INITIALIZED);
    CoTaskMemFree(f);
    EXPECT_EQ(mic->SetEventHandle(event_), AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED);
    Ref<IAudioRenderClient> wrong;
    EXPECT_EQ(mic->GetService(__uuidof(IAudioRenderClient), wrong.out_void()),
              AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    Ref<IUnknown> unknown;
    EXPECT_EQ(mic->GetService(__uuidof(IMMDevice), unknown.out_void()), E_NOINTERFACE);
    REFERENCE_TIME period = 0, minimum = 0;
    EXPECT_EQ(mic->GetDevicePeriod(&period, &minimum), S_OK);
    EXPECT_EQ(period, 100000);
    EXPECT_GT(minimum, 0);

    // A render stream with the event flag needs its handle before it starts.
    Ref<IAudioClient> render;
    ASSERT_EQ(open(kStereo, AUDCLNT_STREAMFLAGS_EVENTCALLBACK, 10000000, render), S_OK);
    EXPECT_EQ(render->SetEventHandle(nullptr), E_INVALIDARG);
    EXPECT_EQ(render->Start(), AUDCLNT_E_EVENTHANDLE_NOT_SET);
    Ref<IAudioCaptureClient> not_capture;
    EXPECT_EQ(render->GetService(__uuidof(IAudioCaptureClient), not_capture.out_void()),
              AUDCLNT_E_WRONG_ENDPOINT_TYPE);
    Ref<IAudioClient> exclusive;
    {
        Ref<IMMDevice> d;
        ASSERT_EQ(device(kStereo, d), S_OK);
        ASSERT_EQ(d->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, exclusive.out_void()),
                  S_OK);
    }
    ASSERT_EQ(exclusive->GetMixFormat(&f), S_OK);
    EXPECT_EQ(exclusive->Initialize(AUDCLNT_SHAREMODE_EXCLUSIVE, 0, 10000000, 0, f, nullptr),
              AUDCLNT_E_UNSUPPORTED_FORMAT);
    EXPECT_EQ(exclusive->Initialize(AUDCLNT_SHAREMODE_SHARED, 0x1, 10000000, 0, f, nullptr),
              E_INVALIDARG);
    CoTaskMemFree(f);
}

// Faults get a server of their own, so that the shared one lives on.
class Faults : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override {
        PulseServerEnvironment::server().use();
        CoUninitialize();
    }
};

TEST_F(Faults, NoServerFailsCreationWithoutHanging) {
    TempDir nowhere;
    PulseServer::use_address("unix:" + nowhere.file("native"));
    auto attempt = std::async(std::launch::async, [] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        IMMDeviceEnumerator* e = nullptr;
        HRESULT hr = CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                      __uuidof(IMMDeviceEnumerator), reinterpret_cast<void**>(&e));
        if (e) {
            e->Release();
        }
        CoUninitialize();
        return hr;
    });
    // A generous bound that only a hang exceeds.
    ASSERT_EQ(attempt.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const HRESULT hr = attempt.get();
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
}

TEST_F(Faults, ServerKilledMidCaptureFailsEveryCall) {
    PulseServer doomed;
    ASSERT_TRUE(doomed.start()) << doomed.error();
    Ref<IMMDeviceEnumerator> enumerator;
    ASSERT_EQ(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                               __uuidof(IMMDeviceEnumerator), enumerator.out_void()),
              S_OK);
    Ref<IMMDevice> d;
    ASSERT_EQ(enumerator->GetDevice(kStereo.c_str(), d.out()), S_OK);
    Ref<IAudioClient> client;
    ASSERT_EQ(d->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.out_void()), S_OK);
    WAVEFORMATEX* f = nullptr;
    ASSERT_EQ(client->GetMixFormat(&f), S_OK);
    ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                 AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                 10000000, 0, f, nullptr),
              S_OK);
    CoTaskMemFree(f);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(client->SetEventHandle(event), S_OK);
    Ref<IAudioCaptureClient> capture;
    ASSERT_EQ(client->GetService(__uuidof(IAudioCaptureClient), capture.out_void()), S_OK);
    ASSERT_EQ(client->Start(), S_OK);
    auto tone = doomed.play_tone(PulseServer::kStereoSink, {1000.0, 0.5f, 5.0, 48000, 2});
    Captured before = drain(capture.get(), event, 2,
                            [](const Captured& c) { return c.samples.size() >= 2 * 4800; });
    ASSERT_EQ(before.failure, S_OK);
    // A packet that is out when the server dies stays readable: it lives in
    // the client, not in the dead stream.
    UINT32 next = 0;
    for (int i = 0; i < 100 && next == 0; ++i) {
        WaitForSingleObject(event, 200);
        ASSERT_EQ(capture->GetNextPacketSize(&next), S_OK);
    }
    BYTE* data = nullptr;
    UINT32 frames = 0;
    DWORD flags = 0;
    ASSERT_EQ(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr), S_OK);
    const std::vector<BYTE> copy(data, data + size_t(frames) * 8);

    doomed.kill();
    // The capture loop sees a failure instead of waiting for ever.
    HRESULT hr = S_OK;
    for (int i = 0; i < 100 && SUCCEEDED(hr); ++i) {
        WaitForSingleObject(event, 200);
        hr = capture->GetNextPacketSize(&next);
    }
    EXPECT_TRUE(hr == AUDCLNT_E_SERVICE_NOT_RUNNING || hr == AUDCLNT_E_DEVICE_INVALIDATED)
        << std::hex << hr;
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), data));
    EXPECT_EQ(capture->ReleaseBuffer(frames), hr);
    Captured after = drain(
        capture.get(), event, 2, [](const Captured&) { return false; }, std::chrono::seconds(20));
    EXPECT_EQ(after.failure, hr);
    tone->stop();

    EXPECT_TRUE(FAILED(capture->GetBuffer(&data, &frames, &flags, nullptr, nullptr)));
    EXPECT_TRUE(FAILED(client->Stop()));
    UINT32 padding = 0;
    EXPECT_TRUE(FAILED(client->GetCurrentPadding(&padding)));
    Ref<IMMDeviceCollection> devices;
    EXPECT_EQ(enumerator->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, devices.out()),
              AUDCLNT_E_SERVICE_NOT_RUNNING);
    Ref<IMMDevice> gone;
    EXPECT_TRUE(FAILED(enumerator->GetDevice(kStereo.c_str(), gone.out())));
    EXPECT_TRUE(FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, gone.out())));
    Ref<IAudioClient> another;
    EXPECT_TRUE(
        FAILED(d->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, another.out_void())));
    capture.reset();
    client.reset();
    CloseHandle(event);
}

TEST_F(Faults, RemovedDeviceInvalidatesItsStream) {
    PulseServerEnvironment::server().use();
    PulseServer& server = PulseServerEnvironment::server();
    const int module = server.load_module("module-null-sink", "sink_name=shortlived rate=48000 "
                                                              "channels=2");
    ASSERT_GE(module, 0);
    Ref<IMMDeviceEnumerator> enumerator;
    ASSERT_EQ(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                               __uuidof(IMMDeviceEnumerator), enumerator.out_void()),
              S_OK);
    Ref<IMMDevice> d;
    ASSERT_EQ(enumerator->GetDevice(L"sink:shortlived", d.out()), S_OK);
    Ref<IAudioClient> client;
    ASSERT_EQ(d->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr, client.out_void()), S_OK);
    WAVEFORMATEX* f = nullptr;
    ASSERT_EQ(client->GetMixFormat(&f), S_OK);
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(client->Initialize(AUDCLNT_SHAREMODE_SHARED,
                                 AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK,
                                 10000000, 0, f, nullptr),
              S_OK);
    CoTaskMemFree(f);
    ASSERT_EQ(client->SetEventHandle(event), S_OK);
    Ref<IAudioCaptureClient> capture;
    ASSERT_EQ(client->GetService(__uuidof(IAudioCaptureClient), capture.out_void()), S_OK);
    ASSERT_EQ(client->Start(), S_OK);
    ASSERT_TRUE(server.unload_module(module));
    Captured after = drain(
        capture.get(), event, 2, [](const Captured&) { return false; }, std::chrono::seconds(20));
    EXPECT_EQ(after.failure, AUDCLNT_E_DEVICE_INVALIDATED);
    // The rest of the server is fine.
    EXPECT_EQ(endpoint_ids(enumerator.get(), eCapture), (std::vector<std::wstring>{kMic}));
    capture.reset();
    client.reset();
    CloseHandle(event);
}

constexpr std::initializer_list<ERole> kAllRoles = {eConsole, eMultimedia, eCommunications};

// Runs one command on the server's command-line socket (pactl cannot change
// a device's properties). The server ends the session at the end of our
// input, after running what it read: the end of its output means it has run.
bool cli_command(const std::string& socket_path, const std::string& command) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{.sun_family = AF_UNIX, .sun_path = {}};
    strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    const std::string line = command + "\n";
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
                    write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) &&
                    shutdown(fd, SHUT_WR) == 0;
    char buffer[512];
    ssize_t n = 0;
    while (ok && (n = read(fd, buffer, sizeof buffer)) > 0) {
    }
    close(fd);
    return ok && n == 0;
}

// Leaves the shared server as the other tests know it: running, with its
// defaults and without the modules that a test loaded.
class Notifications : public CoreAudio {
  protected:
    void TearDown() override {
        for (int module : modules_) {
            server().unload_module(module);
        }
        if (!server().running()) {
            EXPECT_TRUE(server().start()) << server().error();
        }
        EXPECT_TRUE(server().set_default("sink", PulseServer::kStereoSink));
        EXPECT_TRUE(server().set_default("source", PulseServer::kMicSource));
        CoreAudio::TearDown();
    }

    int load_module(const std::string& name, const std::string& args) {
        return modules_.emplace_back(server().load_module(name, args));
    }
    bool unload_module(int module) {
        std::erase(modules_, module);
        return server().unload_module(module);
    }

    std::vector<int> modules_;
};

TEST_F(Notifications, RegistrationChecksArgumentsAndGivesItsReferencesBack) {
    NotificationClient client;
    EXPECT_EQ(enumerator_->RegisterEndpointNotificationCallback(nullptr), E_POINTER);
    EXPECT_EQ(enumerator_->UnregisterEndpointNotificationCallback(nullptr), E_POINTER);
    EXPECT_EQ(enumerator_->UnregisterEndpointNotificationCallback(&client), E_NOTFOUND);
    for (int i = 0; i < 2; ++i) { // registered twice, held once
        EXPECT_EQ(enumerator_->RegisterEndpointNotificationCallback(&client), S_OK);
        EXPECT_EQ(client.refs(), 2u);
    }
    EXPECT_EQ(enumerator_->UnregisterEndpointNotificationCallback(&client), S_OK);
    EXPECT_EQ(client.refs(), 1u);
    EXPECT_EQ(enumerator_->UnregisterEndpointNotificationCallback(&client), E_NOTFOUND);

    // Still registered when the enumerator goes: let go of, even though a
    // device keeps the connection.
    Ref<IMMDevice> stereo;
    ASSERT_EQ(device(kStereo, stereo), S_OK);
    ASSERT_EQ(enumerator_->RegisterEndpointNotificationCallback(&client), S_OK);
    enumerator_.reset();
    EXPECT_EQ(client.refs(), 1u);
    DWORD state = 0;
    EXPECT_EQ(stereo->GetState(&state), S_OK);
    EXPECT_EQ(state, DWORD{DEVICE_STATE_ACTIVE});
}

TEST_F(Notifications, DevicesThatComeAndGoAreReportedInWindowsOrder) {
    NotificationClient client;
    ASSERT_EQ(client.listen(enumerator_.get()), S_OK);
    const std::wstring sink = L"sink:notified48", source = L"source:notified_in";
    const int sink_module =
        load_module("module-null-sink", "sink_name=notified48 rate=48000 channels=2 "
                                        "sink_properties=\"device.description='Notified'\"");
    // pipewire-pulse has no null source; its null sink made a virtual
    // source is the same device to a client.
    const std::string source_args = "source_name=notified_in rate=16000 channels=1";
    int source_module = server().load_module("module-null-source", source_args);
    if (source_module < 0) {
        source_module =
            server().load_module("module-null-sink", "sink_name=notified_in rate=16000 channels=1 "
                                                     "media.class=Audio/Source/Virtual");
    }
    ASSERT_GE(source_module, 0) << "no null source on this server";
    modules_.push_back(source_module);
    for (const std::wstring& id : {sink, source}) {
        const auto active = is(Note::State, id, DEVICE_STATE_ACTIVE);
        ASSERT_TRUE(client.wait_for(active)) << client;
        const std::vector<Note> notes = client.notes();
        EXPECT_LT(find_note(notes, is(Note::Added, id)), find_note(notes, active)) << client;
    }
    // The new sink's monitor is no endpoint, and Windows' calls come on a
    // thread of the system's, never the caller's.
    for (const Note& n : client.notes()) {
        EXPECT_NE(n.id, L"source:notified48.monitor") << client;
        EXPECT_NE(n.thread, std::this_thread::get_id());
    }

    const size_t mark = client.count();
    ASSERT_TRUE(unload_module(sink_module));
    ASSERT_TRUE(unload_module(source_module));
    for (const std::wstring& id : {sink, source}) {
        ASSERT_TRUE(client.wait_for(is(Note::Removed, id), mark)) << client;
        const std::vector<Note> notes = client.notes();
        EXPECT_LT(find_note(notes, is(Note::State, id, DEVICE_STATE_NOTPRESENT), mark),
                  find_note(notes, is(Note::Removed, id), mark))
            << client;
    }
    EXPECT_EQ(find_note(client.notes(), is(Note::Added, sink), mark), std::string::npos) << client;
    EXPECT_EQ(client.stop_listening(), S_OK);
    EXPECT_EQ(client.refs(), 1u);
}

TEST_F(Notifications, ANewDescriptionIsAChangedFriendlyName) {
    // Only the PulseAudio daemon lets a client change a device's properties,
    // through its command socket.
    TempDir dir;
    const int cli = server().load_module("module-cli-protocol-unix", "socket=" + dir.file("cli"));
    if (cli < 0) {
        GTEST_SKIP() << "this server lets no client change a device's description "
                        "(no module-cli-protocol-unix: pipewire-pulse has none)";
    }
    modules_.push_back(cli);
    NotificationClient client;
    ASSERT_EQ(client.listen(enumerator_.get()), S_OK);
    const std::wstring sink = L"sink:renamed48";
    load_module("module-null-sink", "sink_name=renamed48 rate=48000 channels=2 "
                                    "sink_properties=\"device.description='Named'\"");
    ASSERT_TRUE(client.wait_for(is(Note::State, sink, DEVICE_STATE_ACTIVE))) << client;
    EXPECT_TRUE(cli_command(dir.file("cli"),
                            "update-sink-proplist renamed48 device.description=\"Renamed\""));
    EXPECT_TRUE(client.wait_for([&](const Note& n) {
        return is(Note::Property, sink)(n) && n.key.fmtid == PKEY_Device_FriendlyName.fmtid &&
               n.key.pid == PKEY_Device_FriendlyName.pid;
    })) << client;
    Ref<IMMDevice> renamed;
    ASSERT_EQ(device(sink, renamed), S_OK);
    EXPECT_EQ(friendly_name(renamed.get()), L"Renamed");
    EXPECT_EQ(client.stop_listening(), S_OK);
}

TEST_F(Notifications, DefaultChangesReachEveryRoleAndStopAtUnregister) {
    NotificationClient gone, staying; // `gone` is unregistered half way
    ASSERT_EQ(gone.listen(enumerator_.get()), S_OK);
    ASSERT_EQ(staying.listen(enumerator_.get()), S_OK);
    // A monitor as the default source is told as GetDefaultAudioEndpoint
    // gives it.
    const std::string monitor = std::string(PulseServer::kSurroundSink) + ".monitor";
    ASSERT_TRUE(server().set_default("sink", PulseServer::kSurroundSink));
    EXPECT_TRUE(gone.wait_for_default(eRender, kSurround.c_str(), kAllRoles)) << gone;
    ASSERT_TRUE(server().set_default("source", monitor));
    EXPECT_TRUE(
        gone.wait_for_default(eCapture, (L"source:" + wide(monitor.c_str())).c_str(), kAllRoles))
        << gone;
    ASSERT_TRUE(server().set_default("source", PulseServer::kMicSource));
    EXPECT_TRUE(gone.wait_for_default(eCapture, kMic.c_str(), kAllRoles)) << gone;
    for (const Note& n : gone.notes()) {
        EXPECT_EQ(n.kind, Note::Default) << gone;
        EXPECT_EQ(n.flow, n.id.starts_with(L"sink:") ? eRender : eCapture);
    }

    ASSERT_EQ(gone.stop_listening(), S_OK);
    const size_t told = gone.count(), mark = staying.count();
    ASSERT_TRUE(server().set_default("sink", PulseServer::kStereoSink));
    EXPECT_TRUE(staying.wait_for_default(eRender, kStereo.c_str(), kAllRoles, mark)) << staying;
    // Every client hears of a change in the same pass: had the other one
    // still been registered, it would have been told by now.
    EXPECT_EQ(gone.count(), told) << gone;
    EXPECT_EQ(gone.refs(), 1u);
}

using Reconnection = Notifications;

TEST_F(Reconnection, ServerRestartIsToldAndTheSameEnumeratorWorksAgain) {
    NotificationClient client;
    ASSERT_EQ(client.listen(enumerator_.get()), S_OK);
    // A device the restarted server will not have, a capture stream made
    // before the server goes, and an enumerator released while it is away.
    const std::wstring extra = L"sink:vanishing22";
    load_module("module-null-sink", "sink_name=vanishing22 rate=22050");
    ASSERT_TRUE(client.wait_for(is(Note::State, extra, DEVICE_STATE_ACTIVE))) << client;
    Ref<IAudioClient> old_client;
    Ref<IAudioCaptureClient> old_capture;
    uint32_t channels = 0, rate = 0;
    ASSERT_EQ(start_capture(kMic, 0, old_client, old_capture, channels, rate), S_OK);
    Ref<IMMDeviceEnumerator> spare;
    ASSERT_EQ(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                               __uuidof(IMMDeviceEnumerator), spare.out_void()),
              S_OK);

    size_t mark = client.count();
    server().kill();
    modules_.clear(); // the next server's module numbers are not ours
    EXPECT_TRUE(client.wait_for_default(eRender, nullptr, kAllRoles, mark)) << client;
    EXPECT_TRUE(client.wait_for_default(eCapture, nullptr, kAllRoles, mark)) << client;
    // Meanwhile every call fails at once.
    Ref<IMMDeviceCollection> none;
    EXPECT_EQ(enumerator_->EnumAudioEndpoints(eAll, DEVICE_STATE_ACTIVE, none.out()),
              AUDCLNT_E_SERVICE_NOT_RUNNING);
    Ref<IMMDevice> no_default;
    EXPECT_EQ(enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, no_default.out()),
              AUDCLNT_E_SERVICE_NOT_RUNNING);
    auto failed = [](HRESULT hr) {
        return hr == AUDCLNT_E_SERVICE_NOT_RUNNING || hr == AUDCLNT_E_DEVICE_INVALIDATED;
    };
    UINT32 next = 0;
    EXPECT_PRED1(failed, old_capture->GetNextPacketSize(&next));
    spare.reset();
    auto is_default_note = [](const Note& n) { return n.kind == Note::Default; };
    EXPECT_EQ(find_note(client.notes(), std::not_fn(is_default_note), mark), std::string::npos)
        << "devices reported gone while the server is away" << client;

    // Away for longer than two of the connection's retries, so that the
    // server is found by a retry made after others had failed.
    Sleep(3 * PulseConnection::kRetryMs);
    mark = client.count();
    ASSERT_TRUE(server().start()) << server().error();
    EXPECT_TRUE(client.wait_for_default(eRender, kStereo.c_str(), kAllRoles, mark)) << client;
    EXPECT_TRUE(client.wait_for_default(eCapture, kMic.c_str(), kAllRoles, mark)) << client;
    // What went with the old server is reported gone, before the defaults;
    // the devices that came back under their names are not reported at all.
    const std::vector<Note> notes = client.notes();
    const size_t removed = find_note(notes, is(Note::Removed, extra), mark);
    EXPECT_LT(find_note(notes, is(Note::State, extra, DEVICE_STATE_NOTPRESENT), mark), removed)
        << client;
    EXPECT_LT(removed, find_note(notes, is_default_note, mark));
    EXPECT_EQ(std::count_if(
                  notes.begin() + static_cast<std::ptrdiff_t>(mark), notes.end(),
                  [](const Note& n) { return n.kind == Note::Added || n.kind == Note::Removed; }),
              1)
        << client;

    // The same enumerator lists, finds and opens again.
    EXPECT_EQ(endpoint_ids(enumerator_.get(), eAll),
              (std::vector<std::wstring>{kStereo, kSurround, kAccent, kMicFeed, kMic}));
    Ref<IMMDevice> render;
    ASSERT_EQ(enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, render.out()), S_OK);
    EXPECT_EQ(id_of(render.get()), kStereo);
    Ref<IAudioClient> loop;
    Ref<IAudioCaptureClient> capture;
    ASSERT_EQ(start_capture(kStereo, AUDCLNT_STREAMFLAGS_LOOPBACK, loop, capture, channels, rate),
              S_OK);
    auto tone = server().play_tone(PulseServer::kStereoSink, {1000.0, 0.5f, 3.0, 48000, 2});
    Captured got = drain(capture.get(), event_, channels, [&](const Captured& c) {
        return count_audible(c.channel(0)) >= rate / 2;
    });
    tone->stop();
    ASSERT_EQ(got.failure, S_OK);
    EXPECT_NEAR(zero_crossing_frequency(audible_part(got.channel(0)), rate), 1000.0, 10.0);

    // The stream of the old server stays failed.
    EXPECT_PRED1(failed, old_capture->GetNextPacketSize(&next));
    EXPECT_TRUE(FAILED(old_client->Stop()));
    EXPECT_TRUE(FAILED(old_client->Start()));
    EXPECT_EQ(client.stop_listening(), S_OK);
    EXPECT_EQ(client.refs(), 1u);
}

// pipewire-pulse 0.3.65 may tell a client back before the devices of them
// late or never, naming "@DEFAULT_SINK@" as the default output meanwhile.
TEST_F(Reconnection, AServerBackBeforeItsDevicesGivesItsDefaultOnceItHasIt) {
    NotificationClient client;
    ASSERT_EQ(client.listen(enumerator_.get()), S_OK);
    server().kill();
    modules_.clear();
    const size_t mark = client.count();
    const std::string ours = "application.process.id = \"" + std::to_string(getpid()) + "\"";
    ASSERT_TRUE(server().start("", [&] {
        for (int waited = 0;
             waited < 10000 && server().pactl({"list", "clients"}).find(ours) == std::string::npos;
             waited += 10) {
            Sleep(10);
        }
    })) << server().error();
    EXPECT_TRUE(client.wait_for_default(eRender, kStereo.c_str(), kAllRoles, mark)) << client;
    Ref<IMMDevice> render;
    ASSERT_EQ(enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, render.out()), S_OK);
    EXPECT_EQ(id_of(render.get()), kStereo);
    const std::vector<std::wstring> ids = endpoint_ids(enumerator_.get(), eAll);
    auto unknown_default = [&](const Note& n) {
        return n.kind == Note::Default && !n.null_id &&
               std::find(ids.begin(), ids.end(), n.id) == ids.end();
    };
    EXPECT_EQ(find_note(client.notes(), unknown_default, mark), std::string::npos) << client;
}

} // namespace
