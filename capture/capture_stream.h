// One open shared-mode stream of the audio engine and the thread that drains
// it. An input device is captured directly; an output device is captured by
// loopback of its render mix, with a silent render stream of our own keeping
// the device's engine running while nothing else plays.
//
// The window thread calls every operation; the capture thread runs
// capture_thread_proc and hands each packet to the callback.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <audioclient.h>

#include <stdint.h>

#include "audio_devices.h"

// Receives every captured packet on the capture thread: the user pointer,
// the packet's interleaved 32-bit floats (valid only during the call) and
// their length in bytes (frames x channels x 4). The result is ignored.
typedef int32_t (*SampleCallback)(void* user_data, const float* samples, int32_t byte_count);

// Size of the context's text fields, in WCHARs including the terminator.
constexpr int32_t CAPTURE_TEXT_UNITS = 1024;

// Opaque; its fields are capture_stream_internal.h's.
struct CaptureStream;

// Opens the device with endpoint id `device_id`, or the default device of
// the flow when the id is null (input: the communications role; output: the
// console role), through the audio-device context `devices` (null: an
// enumerator of the call's own). 0 and the context in *out, or -1 and null;
// then *why, when asked for, is the failure's result: E_ACCESSDENIED, say,
// for a microphone that the system's privacy settings keep from the program.
int32_t capture_create(CaptureStream** out, const WCHAR* device_id, int32_t is_capture,
                       AudioDevices* devices, HRESULT* why = nullptr);

// Releases everything the context holds and frees it; the caller stops it
// first. -1 when `stream` or *stream is null.
int32_t capture_destroy(CaptureStream** stream);

// The endpoint id of the device capture_create opens for this flow when it
// gets no id, into `id` (CAPTURE_TEXT_UNITS WCHARs). 0, or -1 when the flow
// has no default device (or no audio service answers), with `id` empty.
// `devices` as for capture_create.
int32_t capture_default_id(int32_t is_capture, WCHAR* id, AudioDevices* devices);

// The endpoint id of the device the stream opened, the default's too, so
// that the window can tell when the default has moved elsewhere; "" for a
// null stream.
const WCHAR* capture_endpoint_id(const CaptureStream* stream);

int32_t capture_get_format(CaptureStream* stream, uint32_t* sample_rate, uint32_t* channels);
// Returns once no delivery through the old callback is in progress, so that
// none comes after it (not to be called from the callback itself).
int32_t capture_set_callback(CaptureStream* stream, SampleCallback callback, void* user_data);

// Asks the capture thread to post `message` (wParam: the failure's HRESULT,
// lParam: 0) to `window` once, when the stream stops delivering because its
// device or the audio service went away. Set it before capture_start.
int32_t capture_set_notify(CaptureStream* stream, HWND window, UINT message);

// S_OK while the stream delivers; once it has died, why (for example
// AUDCLNT_E_DEVICE_INVALIDATED or AUDCLNT_E_SERVICE_NOT_RUNNING).
HRESULT capture_failure(const CaptureStream* stream);

// Starts the capture thread, then the stream. -1 when the thread can't be
// created.
int32_t capture_start(CaptureStream* stream);

// Asks the thread to stop, waits for it when it is still running, and halts
// both streams. No callback runs after it returns.
int32_t capture_stop(CaptureStream* stream);

DWORD WINAPI capture_thread_proc(LPVOID stream);
