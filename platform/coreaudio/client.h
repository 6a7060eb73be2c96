// IAudioClient over a libpulse stream (internal to platform/).
#pragma once

#include <audioclient.h>

#include <memory>

#include "coreaudio/pulse.h"

// A new, uninitialised client on `device`; the device snapshot gives the mix
// format and, for sinks, the monitor source that loopback records.
HRESULT coreaudio_create_client(const std::shared_ptr<PulseConnection>& connection,
                                const PulseDevice& device, REFIID riid, void** object);
