// Tells a window when the system's audio endpoints change: a device comes or
// goes, its state changes, or a flow's default device moves. The window gets
// one message for any number of changes and then reads the devices afresh,
// so a burst of changes (a headset brings an output and an input) costs it
// one look.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "audio_devices.h"

struct DeviceEvents;

// Registers for the endpoints' changes with the audio-device context's
// enumerator (null: one of the watcher's own); `message` (both parameters
// 0) is posted to `window` after a change, unless one is already waiting.
// 0 and the watcher in *out, or -1 and null (no audio service answers).
int32_t device_events_open(DeviceEvents** out, HWND window, UINT message, AudioDevices* devices);

// The window took the message: the next change posts again.
void device_events_rearm(DeviceEvents* events);

// Unregisters and frees; no message is posted once it returns. -1 for a null
// pointer or handle.
int32_t device_events_close(DeviceEvents** events);
