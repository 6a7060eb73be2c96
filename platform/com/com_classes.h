// The COM classes the platform layer can create (internal to platform/):
// CoCreateInstance hands each class id to its creator here.
#pragma once

#include <objbase.h>

// MMDeviceEnumerator, over the sound server (coreaudio/coreaudio.cpp). Fails with a
// negative result, without hanging, when no sound server can be reached.
HRESULT coreaudio_create_enumerator(REFIID riid, void** object);
