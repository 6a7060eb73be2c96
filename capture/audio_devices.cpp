#include "audio_devices.h"

#include <new>

#include "audio_devices_internal.h"

struct AudioDevices {
    com_ptr<IMMDeviceEnumerator> enumerator;
};

HRESULT audio_devices_enumerator(AudioDevices* devices, com_ptr<IMMDeviceEnumerator>& enumerator) {
    if (devices != nullptr) {
        enumerator.share(devices->enumerator.get());
        return S_OK;
    }
    return CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                            __uuidof(IMMDeviceEnumerator), enumerator.receive_void());
}

int32_t audio_devices_open(AudioDevices** out) {
    if (out == nullptr) {
        return -1;
    }
    *out = nullptr;
    auto* devices = new (std::nothrow) AudioDevices{};
    if (devices == nullptr) {
        return -1;
    }
    if (FAILED(audio_devices_enumerator(nullptr, devices->enumerator))) {
        delete devices;
        return -1;
    }
    *out = devices;
    return 0;
}

int32_t audio_devices_close(AudioDevices** devices) {
    if (devices == nullptr || *devices == nullptr) {
        return -1;
    }
    delete *devices;
    *devices = nullptr;
    return 0;
}
