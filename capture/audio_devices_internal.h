// For the capture layer's own files: the enumerator behind a device
// operation.
#pragma once

#include <objbase.h>
#include <mmdeviceapi.h>

#include "audio_devices.h"
#include "com_ptr.h"

// The context's enumerator when there is a context, or a new one of the
// caller's own (as every operation made before contexts existed), into the
// empty `enumerator`. Fails only when no enumerator can be made.
HRESULT audio_devices_enumerator(AudioDevices* devices, com_ptr<IMMDeviceEnumerator>& enumerator);
