// The recording-device list: two entries for the default devices, then every
// active output device (recorded by loopback) and every active input device.
#pragma once

#include <windows.h>

#include <stdint.h>

#include "audio_devices.h"

constexpr int32_t ENDPOINT_TEXT_UNITS = 1024; // WCHARs, terminator included

// One source, copied whole.
struct EndpointEntry {
    int32_t flow;                         // 0: output device, by loopback; 1: input device
    int32_t is_default;                   // 1: opened without an id, as the flow's default device
    WCHAR device_id[ENDPOINT_TEXT_UNITS]; // empty in the default entries
    WCHAR friendly_name[ENDPOINT_TEXT_UNITS]; // empty in the default entries
    WCHAR display_text[ENDPOINT_TEXT_UNITS];  // the device menu's text
};

// The window's list; entries are only appended. Zero-initialise it before
// use and free it with endpoint_list_free.
struct EndpointList {
    EndpointEntry* entries;
    int32_t count;
    int32_t capacity;
};

// Appends a copy of `entry`, growing the list by half when it is full.
// -1 when memory runs out (the list is unchanged).
int32_t endpoint_list_append(EndpointList* list, const EndpointEntry* entry);
void endpoint_list_free(EndpointList* list);

// Appends the two default entries: the default output, then the default input.
int32_t endpoint_list_add_defaults(EndpointList* list);

// The device operations below take the window's audio-device context
// (audio_devices.h) last; without one (null) each call makes an enumerator
// of its own.

// Appends the active output endpoints, then the active input endpoints.
// Returns 0 even when a flow can't be listed.
int32_t enumerate_all_endpoints(EndpointList* list, AudioDevices* devices);

// Appends one entry for every usable active endpoint of the flow (false:
// output, true: input); -1 when the endpoints can't be listed.
int32_t enumerate_endpoints(EndpointList* list, bool is_capture, AudioDevices* devices);
