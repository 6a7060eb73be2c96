// The audio-device context: one device enumerator that the recording
// session keeps for its life and passes to every device operation (listing,
// the default device, opening a capture, watching for changes), instead of
// each making an enumerator of its own. On Linux an enumerator is a
// connection to the sound server, with a thread and a full device listing,
// so the session then holds one connection rather than opening several on
// every device change.
#pragma once

#include <windows.h>

#include <stdint.h>

struct AudioDevices;

// 0 and the context in *out, or -1 and null when no audio service answers.
// COM must be initialised on the calling thread until the context is closed.
int32_t audio_devices_open(AudioDevices** out);

// Releases the enumerator; what was opened through the context (a capture,
// a watcher) keeps it alive until it is closed itself. -1 for a null
// pointer or handle.
int32_t audio_devices_close(AudioDevices** devices);
