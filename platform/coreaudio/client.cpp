// IAudioClient, IAudioCaptureClient and IAudioRenderClient over one libpulse
// stream each.
//
// Threads: the client is made and driven (Initialize, Start, Stop...) on one
// thread while the capture service runs on the capture thread, and libpulse
// calls back on its main loop thread. Stream state is touched with the main
// loop's lock held, which also makes the libpulse calls safe; the event
// handle is read by the callbacks without further ado, hence atomic. The
// capture service is the exception, below.
//
// Record streams ask for 40 ms fragments (fragsize + PA_STREAM_ADJUST_LATENCY,
// which also sets the device's latency to that): left alone, a monitor
// stream batches about a second, so a short sound could still be in the
// server when the recording stops, and the trace would lag the sound. 40 ms
// keeps that lag under 80 ms while the server and our loop thread wake 25
// times a second rather than 100. The server sends fragments of its own
// sizes (smaller when another stream on the device asks for less latency),
// so they are not ours to hand out. Like
// Windows' engine filling the shared buffer, the read callback copies
// everything that arrives into a ring of our own, whole 10 ms periods,
// joining frames split between fragments and writing holes as zeros. The
// capture thread gets one period per packet, pointing into the ring, and
// never takes the main loop's lock: one producer (the loop thread) and one
// consumer (the capture thread) meet in the ring's two atomic counts
// (spsc_ring.h), and a failed stream shows in an atomic status. A full ring
// drops what arrives (the newest data), so a packet that is handed out is
// never written over; the first period after the gap carries
// AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY.
// The ring belongs to the client, so it outlives the stream it came from.
//
// Render streams: what the program writes goes into a ring of the buffer's
// size, and the server pulls from that ring. When the ring runs dry we feed
// it silence instead of letting the stream underrun: the program's silent
// stream exists to keep the sink running so that loopback keeps delivering,
// and an underrun stream would stop doing that after its one buffer. The
// server keeps up to a second of it and asks for more a quarter second at a
// time: a stream that only keeps the sink awake must not set how often the
// sink (and we) wake; the streams that are heard, and our record stream, do.
// (With 30 ms here the server set the sink's latency to 5 ms.)
#include <windows.h>

#include <audioclient.h>

#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "com/com_object.h"
#include "coreaudio/client.h"
#include "spsc_ring.h"

namespace {

// A stream the client is done with, its callbacks off first so that none
// comes for the client afterwards. The main loop's lock is held.
void drop_stream(pa_stream* stream) {
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
}

constexpr REFERENCE_TIME kPeriod = 100000;       // 10 ms, Windows' usual shared period
constexpr REFERENCE_TIME kMinimumPeriod = 30000; // 3 ms
constexpr uint32_t kRecordFragmentMs = 40;       // see above
constexpr uint32_t kRenderQueuedMs = 1000;       // at most, and never above the buffer
constexpr REFERENCE_TIME kUnitsPerSecond = 10000000;

// Windows' speaker bit for a PulseAudio position; 0 for none.
DWORD speaker_bit(pa_channel_position_t position) {
    switch (position) {
    case PA_CHANNEL_POSITION_FRONT_LEFT:
        return 0x1;
    case PA_CHANNEL_POSITION_FRONT_RIGHT:
        return 0x2;
    case PA_CHANNEL_POSITION_FRONT_CENTER:
        return 0x4;
    case PA_CHANNEL_POSITION_LFE:
        return 0x8;
    case PA_CHANNEL_POSITION_REAR_LEFT:
        return 0x10;
    case PA_CHANNEL_POSITION_REAR_RIGHT:
        return 0x20;
    case PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER:
        return 0x40;
    case PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER:
        return 0x80;
    case PA_CHANNEL_POSITION_REAR_CENTER:
        return 0x100;
    case PA_CHANNEL_POSITION_SIDE_LEFT:
        return 0x200;
    case PA_CHANNEL_POSITION_SIDE_RIGHT:
        return 0x400;
    case PA_CHANNEL_POSITION_TOP_CENTER:
        return 0x800;
    case PA_CHANNEL_POSITION_TOP_FRONT_LEFT:
        return 0x1000;
    case PA_CHANNEL_POSITION_TOP_FRONT_CENTER:
        return 0x2000;
    case PA_CHANNEL_POSITION_TOP_FRONT_RIGHT:
        return 0x4000;
    case PA_CHANNEL_POSITION_TOP_REAR_LEFT:
        return 0x8000;
    case PA_CHANNEL_POSITION_TOP_REAR_CENTER:
        return 0x10000;
    case PA_CHANNEL_POSITION_TOP_REAR_RIGHT:
        return 0x20000;
    default:
        return 0;
    }
}

// How our stream lays out the device's channels. WAVEFORMATEXTENSIBLE wants
// them in speaker-bit order, so when every position of the device has its
// own Windows speaker, the stream uses the same positions sorted that way:
// the server then only reorders, never mixes. Otherwise (aux channels,
// repeated positions) the channels are taken as they come, by their place
// (PA_STREAM_NO_REMAP_CHANNELS): matched by name, as a no-remix stream's
// are, the device's named channels found no aux channel of ours and were
// all dropped, a recording of silence.
struct Layout {
    pa_channel_map map{};
    DWORD mask = 0;
    bool as_is = false; // PA_STREAM_NO_REMAP_CHANNELS
};

Layout layout_for(const PulseDevice& device) {
    Layout layout;
    const pa_channel_map& in = device.map;
    const bool map_ok = pa_channel_map_valid(&in) && in.channels == device.channels;
    if (map_ok && in.channels == 1 && in.map[0] == PA_CHANNEL_POSITION_MONO) {
        layout.map = in;
        layout.mask = 0x4; // mono is the front centre speaker
        return layout;
    }
    std::vector<std::pair<DWORD, pa_channel_position_t>> speakers;
    DWORD mask = 0;
    for (unsigned i = 0; map_ok && i < in.channels; ++i) {
        const DWORD bit = speaker_bit(in.map[i]);
        if (bit == 0 || (mask & bit) != 0) {
            speakers.clear();
            break;
        }
        mask |= bit;
        speakers.emplace_back(bit, in.map[i]);
    }
    if (speakers.size() != device.channels) {
        pa_channel_map_init_extend(&layout.map, static_cast<unsigned>(device.channels),
                                   PA_CHANNEL_MAP_AUX);
        layout.as_is = true;
        return layout;
    }
    std::sort(speakers.begin(), speakers.end());
    layout.map.channels = static_cast<uint8_t>(device.channels);
    for (size_t i = 0; i < speakers.size(); ++i) {
        layout.map.map[i] = speakers[i].second;
    }
    layout.mask = mask;
    return layout;
}

UINT64 qpc_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<UINT64>(ts.tv_sec) * 10000000u + static_cast<UINT64>(ts.tv_nsec) / 100u;
}

class AudioClient final : public ComObject<IAudioClient> {
  public:
    AudioClient(std::shared_ptr<PulseConnection> connection, PulseDevice device)
        : connection_(std::move(connection)), device_(std::move(device)) {}

    ~AudioClient() override {
        if (stream_ == nullptr) {
            return;
        }
        PulseLock lock(*connection_);
        connection_->forget_stream(stream_);
        drop_stream(stream_);
    }

    STDMETHOD(Initialize)
    (AUDCLNT_SHAREMODE share_mode, DWORD stream_flags, REFERENCE_TIME buffer_duration,
     REFERENCE_TIME periodicity, const WAVEFORMATEX* format, LPCGUID) override;

    STDMETHOD(GetBufferSize)(UINT32* frames) override {
        if (!frames) {
            return E_POINTER;
        }
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        *frames = buffer_frames_;
        return S_OK;
    }

    STDMETHOD(GetStreamLatency)(REFERENCE_TIME* latency) override {
        if (!latency) {
            return E_POINTER;
        }
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        *latency = kPeriod;
        return S_OK;
    }

    STDMETHOD(GetCurrentPadding)(UINT32* frames) override;

    STDMETHOD(IsFormatSupported)
    (AUDCLNT_SHAREMODE share_mode, const WAVEFORMATEX* format, WAVEFORMATEX** closest) override {
        if (!format) {
            return E_POINTER;
        }
        if (closest) {
            *closest = nullptr;
        }
        if (share_mode != AUDCLNT_SHAREMODE_SHARED) {
            return AUDCLNT_E_UNSUPPORTED_FORMAT;
        }
        if (!closest) {
            return E_POINTER;
        }
        if (is_mix_format(format)) {
            return S_OK;
        }
        HRESULT hr = GetMixFormat(closest);
        return FAILED(hr) ? hr : S_FALSE;
    }

    STDMETHOD(GetMixFormat)(WAVEFORMATEX** format) override {
        if (!format) {
            return E_POINTER;
        }
        auto* f = static_cast<WAVEFORMATEXTENSIBLE*>(CoTaskMemAlloc(sizeof(WAVEFORMATEXTENSIBLE)));
        *format = reinterpret_cast<WAVEFORMATEX*>(f);
        if (!f) {
            return E_OUTOFMEMORY;
        }
        *f = mix_format();
        return S_OK;
    }

    STDMETHOD(GetDevicePeriod)
    (REFERENCE_TIME* default_period, REFERENCE_TIME* minimum_period) override {
        if (!default_period && !minimum_period) {
            return E_POINTER;
        }
        if (default_period) {
            *default_period = kPeriod;
        }
        if (minimum_period) {
            *minimum_period = kMinimumPeriod;
        }
        return S_OK;
    }

    STDMETHOD(Start)() override;
    STDMETHOD(Stop)() override;
    STDMETHOD(Reset)() override;

    STDMETHOD(SetEventHandle)(HANDLE event) override {
        if (!initialized_) {
            return AUDCLNT_E_NOT_INITIALIZED;
        }
        if ((flags_ & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) == 0) {
            return AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED;
        }
        if (!event) {
            return E_INVALIDARG;
        }
        event_.store(event);
        return S_OK;
    }

    STDMETHOD(GetService)(REFIID iid, void** service) override;

    // The capture service.
    HRESULT capture_get_buffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device_position,
                               UINT64* qpc_position);
    HRESULT capture_release_buffer(UINT32 frames);
    HRESULT capture_next_packet_size(UINT32* frames);

    // The render service.
    HRESULT render_get_buffer(UINT32 frames, BYTE** data);
    HRESULT render_release_buffer(UINT32 frames, DWORD flags);

  private:
    WAVEFORMATEXTENSIBLE mix_format() const {
        WAVEFORMATEXTENSIBLE f{};
        f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
        f.Format.nChannels = static_cast<WORD>(device_.channels);
        f.Format.nSamplesPerSec = device_.rate;
        f.Format.wBitsPerSample = 32;
        f.Format.nBlockAlign = static_cast<WORD>(4 * device_.channels);
        f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * device_.rate;
        f.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
        f.Samples.wValidBitsPerSample = 32;
        f.dwChannelMask = layout_for(device_).mask;
        f.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        return f;
    }

    // We never convert: only 32-bit float at the device's rate and channel
    // count is taken.
    bool is_mix_format(const WAVEFORMATEX* f) const {
        if (f->nChannels != device_.channels || f->nSamplesPerSec != device_.rate ||
            f->wBitsPerSample != 32 || f->nBlockAlign != 4 * device_.channels ||
            f->nAvgBytesPerSec != f->nBlockAlign * device_.rate) {
            return false;
        }
        if (f->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
            return true;
        }
        if (f->wFormatTag != WAVE_FORMAT_EXTENSIBLE ||
            f->cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX)) {
            return false;
        }
        const auto* x = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(f);
        GUID sub = x->SubFormat;
        DWORD mask = x->dwChannelMask;
        WORD valid = x->Samples.wValidBitsPerSample;
        return sub == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT && valid == 32 &&
               (mask == 0 || mask == layout_for(device_).mask);
    }

    // Lock held.
    HRESULT stream_status() const {
        if (!connection_->alive()) {
            return AUDCLNT_E_SERVICE_NOT_RUNNING;
        }
        if (pa_stream_get_state(stream_) != PA_STREAM_READY) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        return S_OK;
    }

    void signal_event() {
        HANDLE event = event_.load();
        if (event) {
            SetEvent(event);
        }
    }

    static void on_state(pa_stream* stream, void* userdata) {
        auto* self = static_cast<AudioClient*>(userdata);
        pa_stream_state_t state = pa_stream_get_state(stream);
        if (!PA_STREAM_IS_GOOD(state)) {
            // A dying connection fails its streams after itself, so the
            // connection's state tells which of the two went.
            self->capture_status_.store(self->connection_->alive() ? AUDCLNT_E_DEVICE_INVALIDATED
                                                                   : AUDCLNT_E_SERVICE_NOT_RUNNING);
            // Wake the capture thread so that its next call sees the failure.
            self->signal_event();
        }
        self->connection_->signal();
    }

    static void on_read(pa_stream*, size_t, void* userdata) {
        static_cast<AudioClient*>(userdata)->pull();
    }

    static void on_write(pa_stream*, size_t bytes, void* userdata) {
        static_cast<AudioClient*>(userdata)->feed(bytes);
    }

    static void on_success(pa_stream*, int, void* userdata) {
        static_cast<AudioClient*>(userdata)->connection_->signal();
    }

    // Lock held (the write callback): moves up to `bytes` from the ring to
    // the stream, silence after the ring's end.
    void feed(size_t bytes);

    // Lock held (the read callback): moves everything the stream has into
    // the capture ring and signals the event when a period is complete.
    void pull();
    // Lock held: `bytes` of the stream (a hole when `data` is null) into the
    // ring, or dropped while it is full.
    void take(const BYTE* data, size_t bytes);
    size_t period_bytes() const { return period_frames_ * frame_bytes_; }
    HRESULT run_operation(pa_operation* op) {
        if (!connection_->wait_for(op)) {
            HRESULT hr = stream_status();
            return FAILED(hr) ? hr : AUDCLNT_E_DEVICE_INVALIDATED;
        }
        return S_OK;
    }

    std::shared_ptr<PulseConnection> connection_;
    PulseDevice device_;
    bool initialized_ = false;
    bool capture_ = false; // a record stream (capture endpoint or loopback)
    DWORD flags_ = 0;
    pa_stream* stream_ = nullptr;
    std::atomic<HANDLE> event_{nullptr};
    bool started_ = false;
    size_t frame_bytes_ = 0;
    UINT32 buffer_frames_ = 0;

    // Capture: the ring of whole periods and, per period, where it starts in
    // the stream and its flags. Its counts: the periods the loop thread has
    // completed, and those the capture thread has released; the difference
    // is what waits. A period is the loop thread's again only once it is
    // released, so a packet handed out is never written over.
    UINT32 period_frames_ = 0;
    std::unique_ptr<BYTE[]> periods_;
    struct PeriodInfo {
        UINT64 position = 0;
        DWORD flags = 0;
    };
    std::unique_ptr<PeriodInfo[]> period_info_;
    SpscRing<RingFull::drop_newest, UINT64> period_ring_;
    std::atomic<HRESULT> capture_status_{S_OK};
    // The loop thread's side (lock held): bytes in the period being filled,
    // whether any of them were data rather than a hole, whether data were
    // lost since the last complete period, and the stream's length so far.
    size_t fill_ = 0;
    bool fill_has_data_ = false;
    bool lost_ = false;
    UINT64 stream_bytes_ = 0;
    // The capture thread's side. The mutex is only ever contended by Reset.
    std::mutex capture_mutex_;
    bool handed_out_ = false;

    // Render: the ring the server pulls from, and the block GetBuffer lends.
    std::vector<BYTE> ring_;
    UINT32 ring_head_ = 0; // oldest frame
    UINT32 ring_frames_ = 0;
    std::vector<BYTE> lent_;
    UINT32 lent_frames_ = 0;
    bool lent_out_ = false;

    friend class CaptureClient;
    friend class RenderClient;
};

class CaptureClient final : public ComObject<IAudioCaptureClient> {
  public:
    explicit CaptureClient(AudioClient* client) : client_(client) { client_->AddRef(); }
    ~CaptureClient() override { client_->Release(); }

    STDMETHOD(GetBuffer)
    (BYTE** data, UINT32* frames, DWORD* flags, UINT64* device_position,
     UINT64* qpc_position) override {
        return client_->capture_get_buffer(data, frames, flags, device_position, qpc_position);
    }
    STDMETHOD(ReleaseBuffer)(UINT32 frames) override {
        return client_->capture_release_buffer(frames);
    }
    STDMETHOD(GetNextPacketSize)(UINT32* frames) override {
        return client_->capture_next_packet_size(frames);
    }

  private:
    AudioClient* client_;
};

class RenderClient final : public ComObject<IAudioRenderClient> {
  public:
    explicit RenderClient(AudioClient* client) : client_(client) { client_->AddRef(); }
    ~RenderClient() override { client_->Release(); }

    STDMETHOD(GetBuffer)(UINT32 frames, BYTE** data) override {
        return client_->render_get_buffer(frames, data);
    }
    STDMETHOD(ReleaseBuffer)(UINT32 frames, DWORD flags) override {
        return client_->render_release_buffer(frames, flags);
    }

  private:
    AudioClient* client_;
};

HRESULT AudioClient::Initialize(AUDCLNT_SHAREMODE share_mode, DWORD stream_flags,
                                REFERENCE_TIME buffer_duration, REFERENCE_TIME periodicity,
                                const WAVEFORMATEX* format, LPCGUID) {
    if (initialized_) {
        return AUDCLNT_E_ALREADY_INITIALIZED;
    }
    if (!format) {
        return E_POINTER;
    }
    const DWORD known = AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
    if ((stream_flags & ~known) != 0 || buffer_duration < 0 || periodicity != 0) {
        return E_INVALIDARG;
    }
    // The server mixes everything; there is no exclusive access to a device.
    if (share_mode != AUDCLNT_SHAREMODE_SHARED) {
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
    const bool loopback = (stream_flags & AUDCLNT_STREAMFLAGS_LOOPBACK) != 0;
    if (loopback && device_.flow != eRender) {
        return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
    }
    // Windows refuses a microphone so when its privacy settings keep desktop
    // programs from the microphones. Nothing here keeps a program from a
    // source, so the tests ask for the refusal to see what the user is told.
    if (!loopback && device_.flow == eCapture && getenv("SONARET_TEST_MICROPHONE_DENIED")) {
        return E_ACCESSDENIED;
    }
    if (!is_mix_format(format) || device_.channels == 0 || device_.channels > PA_CHANNELS_MAX) {
        return AUDCLNT_E_UNSUPPORTED_FORMAT;
    }
    const bool capture = loopback || device_.flow == eCapture;
    const char* target = loopback ? device_.monitor_source.c_str() : device_.name.c_str();
    if (loopback && device_.monitor_source.empty()) {
        return AUDCLNT_E_DEVICE_INVALIDATED;
    }

    const uint32_t rate = device_.rate;
    const size_t frame_bytes = 4u * device_.channels;
    const uint32_t period_frames = std::max<uint32_t>(1, rate / 100);
    uint64_t frames = (static_cast<uint64_t>(buffer_duration) * rate + kUnitsPerSecond - 1) /
                      static_cast<uint64_t>(kUnitsPerSecond);
    // Like Windows, never less than a couple of periods; and at most what a
    // 32-bit byte count can hold.
    frames = std::clamp<uint64_t>(frames, 2ull * period_frames, (1ull << 31) / frame_bytes);
    if (capture) {
        // Whole periods, so that a packet never wraps around the ring's end.
        const uint64_t periods = (frames + period_frames - 1) / period_frames;
        frames = periods * period_frames;
        // Not zeroed: a period is always written before it is handed out.
        periods_.reset(new (std::nothrow) BYTE[frames * frame_bytes]);
        period_info_.reset(new (std::nothrow) PeriodInfo[periods]);
        if (!periods_ || !period_info_) {
            return E_OUTOFMEMORY;
        }
        period_frames_ = period_frames;
        period_ring_.start(periods, 0);
    }

    pa_sample_spec spec{PA_SAMPLE_FLOAT32LE, rate, static_cast<uint8_t>(device_.channels)};
    const Layout layout = layout_for(device_);

    PulseLock lock(*connection_);
    if (!connection_->alive()) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    pa_stream* stream = pa_stream_new(
        connection_->context(), capture ? "Sonaret capture" : "Sonaret render", &spec, &layout.map);
    if (!stream) {
        return E_OUTOFMEMORY;
    }
    // The write callback comes as soon as the stream connects: everything it
    // uses is ready before.
    stream_ = stream;
    capture_status_.store(S_OK); // a failed earlier attempt's stream is gone
    capture_ = capture;
    flags_ = stream_flags;
    frame_bytes_ = frame_bytes;
    buffer_frames_ = static_cast<UINT32>(frames);
    if (!capture) {
        ring_.assign(frames * frame_bytes, 0);
        lent_.assign(frames * frame_bytes, 0);
    }
    pa_stream_set_state_callback(stream, on_state, this);
    pa_buffer_attr attr;
    const uint32_t period_bytes = static_cast<uint32_t>(period_frames * frame_bytes);
    const auto buffer_bytes = static_cast<uint32_t>(frames * frame_bytes);
    // A device that disappears ends our stream, as on Windows, rather than
    // moving it to another device.
    const auto stream_flags_pa = static_cast<pa_stream_flags_t>(
        PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
        (layout.as_is ? PA_STREAM_NO_REMAP_CHANNELS : 0));
    int rc;
    if (capture) {
        attr.maxlength = buffer_bytes;
        attr.fragsize = std::min<uint32_t>(
            buffer_bytes, static_cast<uint32_t>(rate * kRecordFragmentMs / 1000 * frame_bytes));
        attr.tlength = attr.prebuf = attr.minreq = static_cast<uint32_t>(-1);
        pa_stream_set_read_callback(stream, on_read, this);
        rc = pa_stream_connect_record(stream, target, &attr, stream_flags_pa);
    } else {
        // The server keeps up to a second and asks for a quarter of it at a
        // time; the rest of the buffer is our ring. It sets the sink's
        // latency from these, to (tlength - 2 minreq) / 2: a quarter of a
        // second, which leaves the sink's pace to the other streams. prebuf
        // 0: the stream never waits to be refilled.
        const uint32_t queued = std::max<uint32_t>(
            2 * period_bytes,
            std::min<uint32_t>(buffer_bytes,
                               static_cast<uint32_t>(rate * kRenderQueuedMs / 1000 * frame_bytes)));
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = queued;
        attr.prebuf = 0;
        attr.minreq = queued / 4 - (queued / 4) % static_cast<uint32_t>(frame_bytes);
        attr.fragsize = static_cast<uint32_t>(-1);
        pa_stream_set_write_callback(stream, on_write, this);
        rc = pa_stream_connect_playback(stream, target, &attr, stream_flags_pa, nullptr, nullptr);
    }
    pa_stream_state_t state = rc < 0 ? PA_STREAM_FAILED : pa_stream_get_state(stream);
    const pa_usec_t deadline = PulseConnection::answer_deadline();
    while (state == PA_STREAM_CREATING && connection_->alive()) {
        if (!connection_->wait_until(deadline)) {
            state = pa_stream_get_state(stream);
            if (state == PA_STREAM_CREATING) {
                connection_->not_answering();
            }
            break;
        }
        state = pa_stream_get_state(stream);
    }
    if (state != PA_STREAM_READY) {
        const bool alive = connection_->alive() && connection_->answering();
        drop_stream(stream);
        stream_ = nullptr;
        return alive ? AUDCLNT_E_DEVICE_INVALIDATED : AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    connection_->end_with_device(stream, capture ? eCapture : eRender);

    initialized_ = true;
    return S_OK;
}

HRESULT AudioClient::GetCurrentPadding(UINT32* frames) {
    if (!frames) {
        return E_POINTER;
    }
    if (!initialized_) {
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if (capture_) {
        // As on Windows, the same as the next packet's size.
        return capture_next_packet_size(frames);
    }
    PulseLock lock(*connection_);
    HRESULT hr = stream_status();
    if (FAILED(hr)) {
        return hr;
    }
    *frames = ring_frames_;
    return S_OK;
}

HRESULT AudioClient::Start() {
    if (!initialized_) {
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if ((flags_ & AUDCLNT_STREAMFLAGS_EVENTCALLBACK) != 0 && !event_.load()) {
        return AUDCLNT_E_EVENTHANDLE_NOT_SET;
    }
    PulseLock lock(*connection_);
    if (started_) {
        return AUDCLNT_E_NOT_STOPPED;
    }
    HRESULT hr = stream_status();
    if (FAILED(hr)) {
        return hr;
    }
    hr = run_operation(pa_stream_cork(stream_, 0, on_success, this));
    if (SUCCEEDED(hr)) {
        started_ = true;
    }
    return hr;
}

HRESULT AudioClient::Stop() {
    if (!initialized_) {
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    PulseLock lock(*connection_);
    if (!started_) {
        return S_FALSE;
    }
    started_ = false;
    HRESULT hr = stream_status();
    if (FAILED(hr)) {
        return hr;
    }
    return run_operation(pa_stream_cork(stream_, 1, on_success, this));
}

HRESULT AudioClient::Reset() {
    if (!initialized_) {
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    PulseLock lock(*connection_);
    if (started_) {
        return AUDCLNT_E_NOT_STOPPED;
    }
    // The capture thread's side is only ever locked inside the main loop's
    // lock, and never across a wait for the server.
    auto packet_out = [this] {
        std::lock_guard guard(capture_mutex_);
        return handed_out_;
    };
    if (capture_ ? packet_out() : lent_out_) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    HRESULT hr = stream_status();
    if (FAILED(hr)) {
        return hr;
    }
    if (!capture_) {
        ring_head_ = 0;
        ring_frames_ = 0;
    }
    hr = run_operation(pa_stream_flush(stream_, on_success, this));
    if (capture_) {
        // After the flush, so that nothing that came while we waited for it
        // stays; the position starts again at 0, as on Windows.
        std::lock_guard guard(capture_mutex_);
        if (handed_out_) {
            return AUDCLNT_E_OUT_OF_ORDER; // taken meanwhile: keep what it points at
        }
        period_ring_.discard_waiting();
        fill_ = 0;
        lost_ = false;
        stream_bytes_ = 0;
    }
    return hr;
}

HRESULT AudioClient::GetService(REFIID iid, void** service) {
    if (!service) {
        return E_POINTER;
    }
    *service = nullptr;
    if (!initialized_) {
        return AUDCLNT_E_NOT_INITIALIZED;
    }
    if (iid == __uuidof(IAudioCaptureClient)) {
        if (!capture_) {
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        }
        return com_query_new(new (std::nothrow) CaptureClient(this), iid, service);
    }
    if (iid == __uuidof(IAudioRenderClient)) {
        if (capture_) {
            return AUDCLNT_E_WRONG_ENDPOINT_TYPE;
        }
        return com_query_new(new (std::nothrow) RenderClient(this), iid, service);
    }
    return E_NOINTERFACE;
}

void AudioClient::pull() {
    const UINT64 before = period_ring_.next();
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(stream_, &data, &bytes) == 0 && bytes > 0) {
        take(static_cast<const BYTE*>(data), bytes);
        pa_stream_drop(stream_);
    }
    if (period_ring_.next() != before) {
        signal_event();
    }
}

void AudioClient::take(const BYTE* data, size_t bytes) {
    const size_t period = period_bytes();
    while (bytes > 0) {
        const UINT64 filled = period_ring_.next();
        size_t n;
        if (fill_ == 0) {
            // A period starts on a frame boundary of the stream (which only
            // a drop can leave us off), in a slot the capture thread has
            // released.
            const size_t off_frame = stream_bytes_ % frame_bytes_;
            const bool full = period_ring_.full();
            if (off_frame != 0 || full) {
                n = full ? bytes : std::min(bytes, frame_bytes_ - off_frame);
                lost_ = true;
                stream_bytes_ += n;
                data = data ? data + n : nullptr;
                bytes -= n;
                continue;
            }
            period_info_[period_ring_.slot(filled)].position = stream_bytes_ / frame_bytes_;
            fill_has_data_ = false;
        }
        n = std::min(bytes, period - fill_);
        BYTE* to = periods_.get() + period_ring_.slot(filled) * period + fill_;
        if (data) {
            memcpy(to, data, n);
            fill_has_data_ = true;
            data += n;
        } else {
            memset(to, 0, n);
        }
        fill_ += n;
        stream_bytes_ += n;
        bytes -= n;
        if (fill_ == period) {
            period_info_[period_ring_.slot(filled)].flags =
                (fill_has_data_ ? 0 : AUDCLNT_BUFFERFLAGS_SILENT) |
                (lost_ ? AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY : 0);
            lost_ = false;
            fill_ = 0;
            period_ring_.publish(filled + 1);
        }
    }
}

HRESULT AudioClient::capture_get_buffer(BYTE** data, UINT32* frames, DWORD* flags,
                                        UINT64* device_position, UINT64* qpc_position) {
    if (!data || !frames || !flags) {
        return E_POINTER;
    }
    *data = nullptr;
    *frames = 0;
    *flags = 0;
    std::lock_guard guard(capture_mutex_);
    if (handed_out_) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    const HRESULT hr = capture_status_.load();
    if (FAILED(hr)) {
        return hr;
    }
    const auto waiting = period_ring_.waiting();
    if (waiting.count == 0) {
        return AUDCLNT_S_BUFFER_EMPTY;
    }
    const size_t slot = period_ring_.slot(waiting.first);
    handed_out_ = true;
    *data = periods_.get() + slot * period_bytes();
    *frames = period_frames_;
    *flags = period_info_[slot].flags;
    if (device_position) {
        *device_position = period_info_[slot].position;
    }
    if (qpc_position) {
        *qpc_position = qpc_now();
    }
    return S_OK;
}

HRESULT AudioClient::capture_release_buffer(UINT32 frames) {
    std::lock_guard guard(capture_mutex_);
    if (!handed_out_) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    // 0: nothing read, the same packet comes again.
    if (frames != 0 && frames != period_frames_) {
        return AUDCLNT_E_INVALID_SIZE;
    }
    handed_out_ = false;
    if (frames != 0) {
        period_ring_.take(period_ring_.taken() + 1);
    }
    return capture_status_.load();
}

HRESULT AudioClient::capture_next_packet_size(UINT32* frames) {
    if (!frames) {
        return E_POINTER;
    }
    *frames = 0;
    const HRESULT hr = capture_status_.load();
    if (FAILED(hr)) {
        return hr;
    }
    if (period_ring_.waiting().count != 0) {
        *frames = period_frames_;
    }
    return S_OK;
}

HRESULT AudioClient::render_get_buffer(UINT32 frames, BYTE** data) {
    if (!data) {
        return E_POINTER;
    }
    *data = nullptr;
    PulseLock lock(*connection_);
    if (lent_out_) {
        return AUDCLNT_E_OUT_OF_ORDER;
    }
    HRESULT hr = stream_status();
    if (FAILED(hr)) {
        return hr;
    }
    if (frames > buffer_frames_ - ring_frames_) {
        return AUDCLNT_E_BUFFER_TOO_LARGE;
    }
    if (frames == 0) {
        return S_OK;
    }
    lent_out_ = true;
    lent_frames_ = frames;
    *data = lent_.data();
    return S_OK;
}

HRESULT AudioClient::render_release_buffer(UINT32 frames, DWORD flags) {
    if ((flags & ~DWORD{AUDCLNT_BUFFERFLAGS_SILENT}) != 0) {
        return E_INVALIDARG;
    }
    PulseLock lock(*connection_);
    if (!lent_out_) {
        return frames == 0 ? S_OK : AUDCLNT_E_OUT_OF_ORDER;
    }
    if (frames > lent_frames_) {
        return AUDCLNT_E_INVALID_SIZE;
    }
    lent_out_ = false;
    const bool silent = (flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0;
    // Into the ring after its last frame, in at most two pieces.
    UINT32 tail = (ring_head_ + ring_frames_) % buffer_frames_;
    UINT32 done = 0;
    while (done < frames) {
        const UINT32 run = std::min(frames - done, buffer_frames_ - tail);
        BYTE* to = ring_.data() + static_cast<size_t>(tail) * frame_bytes_;
        if (silent) {
            memset(to, 0, run * frame_bytes_);
        } else {
            memcpy(to, lent_.data() + static_cast<size_t>(done) * frame_bytes_, run * frame_bytes_);
        }
        done += run;
        tail = (tail + run) % buffer_frames_;
    }
    ring_frames_ += frames;
    return S_OK;
}

void AudioClient::feed(size_t bytes) {
    bytes -= bytes % frame_bytes_;
    while (bytes > 0) {
        void* space = nullptr;
        size_t room = bytes;
        if (pa_stream_begin_write(stream_, &space, &room) < 0 || space == nullptr) {
            return;
        }
        room -= room % frame_bytes_;
        if (room == 0) {
            pa_stream_cancel_write(stream_);
            return;
        }
        auto* out = static_cast<BYTE*>(space);
        const UINT32 want = static_cast<UINT32>(room / frame_bytes_);
        UINT32 filled = 0;
        while (filled < want && ring_frames_ > 0) {
            const UINT32 run = std::min({want - filled, ring_frames_, buffer_frames_ - ring_head_});
            memcpy(out + static_cast<size_t>(filled) * frame_bytes_,
                   ring_.data() + static_cast<size_t>(ring_head_) * frame_bytes_,
                   run * frame_bytes_);
            filled += run;
            ring_head_ = (ring_head_ + run) % buffer_frames_;
            ring_frames_ -= run;
        }
        memset(out + static_cast<size_t>(filled) * frame_bytes_, 0,
               static_cast<size_t>(want - filled) * frame_bytes_);
        if (pa_stream_write(stream_, space, room, nullptr, 0, PA_SEEK_RELATIVE) < 0) {
            return;
        }
        bytes -= room;
    }
    signal_event();
}

} // namespace

HRESULT coreaudio_create_client(const std::shared_ptr<PulseConnection>& connection,
                                const PulseDevice& device, REFIID riid, void** object) {
    return com_query_new(new (std::nothrow) AudioClient(connection, device), riid, object);
}
