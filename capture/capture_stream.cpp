#include "capture_stream.h"

#include <avrt.h>

#include <atomic>
#include <new>
#include <thread>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "audio_devices_internal.h"
#include "capture_stream_internal.h"
#include "com_ptr.h"

namespace {

constexpr REFERENCE_TIME CAPTURE_BUFFER_DURATION = 10000000; // 1 s in 100 ns units
constexpr REFERENCE_TIME RENDER_BUFFER_DURATION = 50000000;  // 5 s
constexpr DWORD WAKE_INTERVAL_MS = 100; // how long a stop request can go unseen

// The shared fields are plain words so that the context is zero-filled by
// value-initialisation; every access from either thread goes through these.
template <typename T> T load(const T& field) {
    return std::atomic_ref<T>(const_cast<T&>(field)).load();
}
template <typename T> void store(T& field, T value) {
    std::atomic_ref<T>(field).store(value);
}

// The flow's default device, the one capture_create opens without an id.
// Input: the communications device, the one a headset call would use.
HRESULT default_device(IMMDeviceEnumerator* enumerator, int32_t is_capture, IMMDevice** device) {
    return enumerator->GetDefaultAudioEndpoint(is_capture ? eCapture : eRender,
                                               is_capture ? eCommunications : eConsole, device);
}

void set_error(CaptureStream* s, const WCHAR* text) {
    wcsncpy(s->last_error, text, CAPTURE_TEXT_UNITS - 1);
    s->last_error[CAPTURE_TEXT_UNITS - 1] = 0;
}

void close_handle(HANDLE& handle) {
    if (handle != nullptr) {
        CloseHandle(handle);
        handle = nullptr;
    }
}

// Gives back everything the context holds, whatever part of the set-up
// exists, and frees it. Serves both a failed create and capture_destroy.
void free_context(CaptureStream* s) {
    // The clients before their services, not in the fields' reverse order
    // that the holders would take by themselves.
    s->client_render.reset();
    s->client_capture.reset();
    s->service_render.reset();
    s->service_capture.reset();
    close_handle(s->event_ready);
    close_handle(s->event_stop);
    close_handle(s->thread);
    free(s->silence);
    delete s;
}

// Starts the silent stream on the output device that keeps its engine
// running, so that loopback goes on delivering (silence) while nothing else
// plays. The whole buffer is written once as zeros, as data rather than
// marked silent. The failure of a step before the write, else S_OK.
HRESULT start_silent_stream(CaptureStream* s, IMMDevice* device) {
    HRESULT hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                  s->client_render.receive_void());
    if (FAILED(hr)) {
        return hr;
    }
    WAVEFORMATEX* format = nullptr;
    if (FAILED(hr = s->client_render->GetMixFormat(&format))) {
        return hr;
    }
    s->client_render->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, RENDER_BUFFER_DURATION, 0, format,
                                 nullptr);
    const WORD block_align = format->nBlockAlign;
    CoTaskMemFree(format);

    UINT32 frames = 0;
    if (FAILED(hr = s->client_render->GetBufferSize(&frames))) {
        return hr;
    }
    if (FAILED(hr = s->client_render->GetService(__uuidof(IAudioRenderClient),
                                                 s->service_render.receive_void()))) {
        return hr;
    }
    BYTE* data = nullptr;
    if (FAILED(hr = s->service_render->GetBuffer(frames, &data))) {
        return hr;
    }
    memset(data, 0, static_cast<size_t>(block_align) * frames);
    s->service_render->ReleaseBuffer(frames, 0);
    s->client_render->Start();
    return S_OK;
}

// Hands one packet to the callback. A packet the engine marks silent holds
// undefined bytes, so zeros of the same length go out in its place.
void deliver(CaptureStream* s, SampleCallback callback, const BYTE* data, UINT32 frames,
             DWORD flags) {
    const int32_t frame_bytes = static_cast<int32_t>(s->channels) * 4;
    void* user_data = load(s->user_data);
    if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) == 0) {
        callback(user_data, reinterpret_cast<const float*>(data),
                 static_cast<int32_t>(frames) * frame_bytes);
        return;
    }
    // A packet is never longer than the stream's buffer, which is what the
    // silence holds; the loop only guards against an engine that thinks so.
    while (frames > 0 && s->silence_frames > 0) {
        UINT32 n = frames < s->silence_frames ? frames : s->silence_frames;
        callback(user_data, s->silence, static_cast<int32_t>(n) * frame_bytes);
        frames -= n;
    }
}

// Takes every waiting packet, delivers it and gives it back. The result is
// the failure that ended the draining, S_OK when the stream simply ran dry;
// *packets counts what was delivered.
HRESULT drain(CaptureStream* s, int* packets) {
    *packets = 0;
    UINT32 packet_frames = 0;
    HRESULT hr = s->service_capture->GetNextPacketSize(&packet_frames);
    while (SUCCEEDED(hr) && packet_frames != 0) {
        BYTE* data = nullptr;
        UINT32 frames = 0;
        DWORD flags = 0;
        UINT64 device_position = 0, qpc_position = 0;
        hr = s->service_capture->GetBuffer(&data, &frames, &flags, &device_position, &qpc_position);
        if (FAILED(hr)) {
            return hr;
        }
        // Announced before the callback is read (both sequentially
        // consistent): whoever changes the callback either is seen here or
        // sees this, and then waits for the delivery to end.
        store(s->delivering, 1);
        SampleCallback callback = load(s->callback);
        if (callback != nullptr) {
            deliver(s, callback, data, frames, flags);
        }
        store(s->delivering, 0);
        s->service_capture->ReleaseBuffer(frames);
        ++*packets;
        hr = s->service_capture->GetNextPacketSize(&packet_frames);
    }
    return FAILED(hr) ? hr : S_OK;
}

// A stream that fails once delivers nothing more: its device or the audio
// service has gone. The window is told once, so that it can open another
// device or end the recording, instead of recording nothing while it says
// it records.
void report_failure(CaptureStream* s, HRESULT hr) {
    store(s->failure, hr);
    HWND window = load(s->notify_window);
    if (window != nullptr) {
        PostMessageW(window, s->notify_message, static_cast<WPARAM>(static_cast<uint32_t>(hr)), 0);
    }
}

// The captured (or loopback) stream on `device` in the engine's mix format,
// its capture service, the zeros for silent packets and the two events.
// S_OK, or the failure with its text in *failure (none for some steps).
HRESULT open_captured_stream(CaptureStream* s, IMMDevice* device, const WCHAR** failure) {
    HRESULT hr = device->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                  s->client_capture.receive_void());
    if (FAILED(hr)) {
        return hr;
    }
    WAVEFORMATEX* format = nullptr;
    if (FAILED(hr = s->client_capture->GetMixFormat(&format))) {
        return hr;
    }
    s->channels = format->nChannels;
    s->sample_rate = format->nSamplesPerSec;
    DWORD flags = AUDCLNT_STREAMFLAGS_EVENTCALLBACK;
    if (!s->is_capture) {
        flags |= AUDCLNT_STREAMFLAGS_LOOPBACK;
    }
    // A failed initialisation shows in the next step: the service is refused.
    // Its result is the cause the caller is given (a microphone the privacy
    // settings keep from the program is refused here).
    const HRESULT initialized = s->client_capture->Initialize(
        AUDCLNT_SHAREMODE_SHARED, flags, CAPTURE_BUFFER_DURATION, 0, format, nullptr);
    CoTaskMemFree(format);
    if (FAILED(hr = s->client_capture->GetService(__uuidof(IAudioCaptureClient),
                                                  s->service_capture.receive_void()))) {
        *failure = L"Failed to client_capture->GetService";
        return FAILED(initialized) ? initialized : hr;
    }

    // Zeros for packets marked silent, as long as the stream's buffer (one
    // second). The pages stay the system's shared zero page, never written.
    if (s->channels > 0 && s->sample_rate > 0) {
        s->silence = static_cast<float*>(
            calloc(static_cast<size_t>(s->sample_rate) * s->channels, sizeof(float)));
        s->silence_frames = s->silence != nullptr ? s->sample_rate : 0;
    }

    s->event_stop = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    s->event_ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (FAILED(hr = s->client_capture->SetEventHandle(s->event_ready))) {
        *failure = L"Failed to SetEventHandle";
        return hr;
    }
    return S_OK;
}

} // namespace

int32_t capture_create(CaptureStream** out, const WCHAR* device_id, int32_t is_capture,
                       AudioDevices* devices, HRESULT* why) {
    HRESULT unused = S_OK;
    HRESULT& failed = why != nullptr ? *why : unused;
    failed = E_INVALIDARG;
    if (out == nullptr) {
        return -1;
    }
    *out = nullptr;
    auto* s = new (std::nothrow) CaptureStream{};
    if (s == nullptr) {
        failed = E_OUTOFMEMORY;
        return -1;
    }
    if (device_id == nullptr) {
        s->use_default = 1;
    } else if (wcslen(device_id) >= static_cast<size_t>(CAPTURE_TEXT_UNITS)) {
        free_context(s); // a cut id would name some other device, or none
        return -1;
    } else {
        wcscpy(s->device_id, device_id);
    }
    s->is_capture = is_capture;

    // Declared before the device so that a failed create releases the
    // context's streams, then the device, then the enumerator.
    com_ptr<IMMDeviceEnumerator> enumerator;
    com_ptr<IMMDevice> device;
    HRESULT hr = S_OK;
    auto fail = [&](const WCHAR* text) {
        if (text != nullptr) {
            set_error(s, text);
        }
        free_context(s);
        failed = hr;
        return -1;
    };

    if (FAILED(hr = audio_devices_enumerator(devices, enumerator))) {
        return fail(L"Failed to create enumerator");
    }
    if (s->use_default) {
        if (FAILED(hr = default_device(enumerator.get(), is_capture, device.receive()))) {
            return fail(L"Failed to GetDefaultAudioEndpoint");
        }
    } else if (FAILED(hr = enumerator->GetDevice(s->device_id, device.receive()))) {
        return fail(nullptr);
    }
    enumerator.reset();

    const WCHAR* failure = nullptr;
    if (FAILED(hr = open_captured_stream(s, device.get(), &failure))) {
        return fail(failure);
    }
    if (!is_capture && FAILED(hr = start_silent_stream(s, device.get()))) {
        return fail(nullptr);
    }

    LPWSTR opened = nullptr;
    if (SUCCEEDED(device->GetId(&opened)) && opened != nullptr &&
        wcslen(opened) < static_cast<size_t>(CAPTURE_TEXT_UNITS)) {
        wcscpy(s->endpoint_id, opened);
    }
    CoTaskMemFree(opened);

    device.reset();
    *out = s;
    failed = S_OK;
    return 0;
}

int32_t capture_default_id(int32_t is_capture, WCHAR* id, AudioDevices* devices) {
    id[0] = 0;
    com_ptr<IMMDeviceEnumerator> enumerator;
    if (FAILED(audio_devices_enumerator(devices, enumerator))) {
        return -1;
    }
    com_ptr<IMMDevice> device;
    if (FAILED(default_device(enumerator.get(), is_capture, device.receive()))) {
        return -1;
    }
    LPWSTR found = nullptr;
    if (FAILED(device->GetId(&found)) || found == nullptr ||
        wcslen(found) >= static_cast<size_t>(CAPTURE_TEXT_UNITS)) {
        CoTaskMemFree(found);
        return -1;
    }
    wcscpy(id, found);
    CoTaskMemFree(found);
    return 0;
}

const WCHAR* capture_endpoint_id(const CaptureStream* stream) {
    return stream != nullptr ? stream->endpoint_id : L"";
}

int32_t capture_destroy(CaptureStream** stream) {
    if (stream == nullptr || *stream == nullptr) {
        return -1;
    }
    free_context(*stream);
    *stream = nullptr;
    return 0;
}

int32_t capture_get_format(CaptureStream* stream, uint32_t* sample_rate, uint32_t* channels) {
    *sample_rate = stream->sample_rate;
    *channels = stream->channels;
    return 0;
}

int32_t capture_set_callback(CaptureStream* stream, SampleCallback callback, void* user_data) {
    if (stream != nullptr) {
        store(stream->user_data, user_data);
        store(stream->callback, callback);
        // A delivery that read the old callback ends before this returns:
        // nothing of the old callback's comes afterwards.
        while (load(stream->delivering) != 0) {
            std::this_thread::yield();
        }
    }
    return 0;
}

int32_t capture_set_notify(CaptureStream* stream, HWND window, UINT message) {
    if (stream == nullptr) {
        return -1;
    }
    stream->notify_message = message;
    store(stream->notify_window, window);
    return 0;
}

HRESULT capture_failure(const CaptureStream* stream) {
    return stream != nullptr ? load(stream->failure) : E_POINTER;
}

int32_t capture_start(CaptureStream* stream) {
    if (stream == nullptr || !stream->client_capture) {
        return 0;
    }
    if (stream->thread != nullptr) {
        return -1; // started before: a context runs one thread in its life
    }
    store(stream->stop_requested, 0);
    stream->thread = CreateThread(nullptr, 0, capture_thread_proc, stream, 0, nullptr);
    if (stream->thread == nullptr) {
        set_error(stream, L"Failed to CreateThread");
        return -1;
    }
    stream->client_capture->Start();
    store(stream->running, 1);
    return 0;
}

int32_t capture_stop(CaptureStream* stream) {
    if (stream == nullptr) {
        return -1;
    }
    store(stream->stop_requested, 1);
    Sleep(WAKE_INTERVAL_MS);
    // A thread that saw the flag during the pause has left and cleared
    // `running`; one that is still draining is woken and waited for.
    if (load(stream->running) && stream->thread != nullptr) {
        SetEvent(stream->event_stop);
        WaitForSingleObject(stream->thread, INFINITE);
    }
    if (stream->client_capture) {
        stream->client_capture->Stop();
    }
    if (stream->client_render) {
        stream->client_render->Stop();
    }
    store(stream->running, 0);
    return 0;
}

namespace {

// What the capture thread joins for its life: COM's multithreaded apartment,
// which the audio client's calls want their thread to be in, and the
// scheduler's "Audio" class, so that a busy machine delays the draining
// less. Each is left only if it was joined; neither touches the context, so
// leaving them after the thread's last access to it is safe.
class AudioThread {
  public:
    AudioThread()
        : com_(CoInitializeEx(nullptr, COINIT_MULTITHREADED)),
          task_(AvSetMmThreadCharacteristicsW(L"Audio", &task_index_)) {}
    ~AudioThread() {
        if (task_ != nullptr) {
            AvRevertMmThreadCharacteristics(task_);
        }
        if (SUCCEEDED(com_)) {
            CoUninitialize();
        }
    }
    AudioThread(const AudioThread&) = delete;
    AudioThread& operator=(const AudioThread&) = delete;

  private:
    HRESULT com_;
    DWORD task_index_ = 0;
    HANDLE task_;
};

} // namespace

DWORD WINAPI capture_thread_proc(LPVOID param) {
    const AudioThread joined;
    auto* s = static_cast<CaptureStream*>(param);
    const HANDLE handles[2] = {s->event_ready, s->event_stop};
    if (load(s->stop_requested)) {
        store(s->running, 0);
        return 0;
    }
    for (;;) {
        DWORD woke = WaitForMultipleObjects(2, handles, FALSE, WAKE_INTERVAL_MS);
        if (woke == WAIT_OBJECT_0 + 1) {
            break;
        }
        // The time-out drains too: some engines never signal the event of a
        // loopback stream, which would otherwise record nothing at all.
        if ((woke == WAIT_OBJECT_0 || woke == WAIT_TIMEOUT) && load(s->failure) == S_OK) {
            int packets = 0;
            HRESULT hr = drain(s, &packets);
            // A wake without a packet asks whether the stream still lives:
            // some engines go on answering "no packet" (and signalling) for
            // a stream whose device has gone, and only the padding tells.
            UINT32 padding = 0;
            if (SUCCEEDED(hr) && packets == 0) {
                hr = s->client_capture->GetCurrentPadding(&padding);
            }
            if (FAILED(hr)) {
                report_failure(s, hr);
            }
        }
        if (load(s->stop_requested)) {
            break;
        }
    }
    // The thread's last access to the context: capture_stop relies on it.
    store(s->running, 0);
    return 0;
}
