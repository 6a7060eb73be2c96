// The capture stream's fields, for capture_stream.cpp (and tests that look
// inside a stream); the program sees the stream as opaque.
#pragma once

#include "capture_stream.h"
#include "com_ptr.h"

// Made value-initialised (zero-filled) by capture_create, deleted by
// capture_destroy. The fields marked shared are read and written through
// atomic accesses only.
struct CaptureStream {
    com_ptr<IAudioClient> client_capture; // the captured (or loopback) stream
    com_ptr<IAudioClient> client_render;  // the silent stream; output devices only
    com_ptr<IAudioCaptureClient> service_capture;
    com_ptr<IAudioRenderClient> service_render; // output devices only
    HANDLE event_ready;                         // auto-reset; signalled by the engine
    HANDLE event_stop;                          // auto-reset; signalled by capture_stop
    HANDLE thread;                              // null until capture_start
    WCHAR device_id[CAPTURE_TEXT_UNITS];        // empty when the default device is used
    // The last step that failed ("Failed to ..."), kept for a debugger: nothing
    // shows it.
    WCHAR last_error[CAPTURE_TEXT_UNITS];
    int32_t is_capture; // non-zero: input device; zero: loopback
    int32_t use_default;
    int32_t stop_requested;  // shared
    int32_t running;         // shared
    SampleCallback callback; // shared
    void* user_data;         // shared
    // Non-zero from before the capture thread reads the callback until its
    // delivery has returned: capture_set_callback waits it out.
    int32_t delivering; // shared
    uint32_t sample_rate;
    uint32_t channels;
    // Zeros handed to the callback in place of a packet the engine marks
    // silent, whose buffer contents are undefined: silence_frames frames.
    float* silence;
    uint32_t silence_frames;
    // The endpoint id of the device that was opened (capture_endpoint_id).
    WCHAR endpoint_id[CAPTURE_TEXT_UNITS];
    // Told once when the stream dies (its device or the audio service went
    // away): notify_message is posted to notify_window with the failure.
    HWND notify_window; // shared
    UINT notify_message;
    HRESULT failure; // shared; S_OK while the stream delivers
};
