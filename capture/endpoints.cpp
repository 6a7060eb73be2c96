#include "endpoints.h"

#include <objbase.h>
#include <mmdeviceapi.h>
#include <functiondiscoverykeys_devpkey.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "audio_devices_internal.h"
#include "com_ptr.h"

namespace {

// The prefixes are eleven half-width columns before the full-width colon:
// four wide characters and three spaces, five wide characters and one.
const WCHAR OUTPUT_FORMAT[] = L"电脑输出   ：%s";
const WCHAR INPUT_FORMAT[] = L"麦克风输入 ：%s";
const WCHAR OUTPUT_DEFAULT[] = L"电脑输出   ：(默认设备)";
const WCHAR INPUT_DEFAULT[] = L"麦克风输入 ：(默认设备)";

// Copies `text` into a field of ENDPOINT_TEXT_UNITS, cutting it when it does
// not fit, and never between the two halves of a UTF-16 surrogate pair.
void copy_cut(WCHAR* field, const WCHAR* text) {
    size_t n = wcslen(text);
    if (n >= static_cast<size_t>(ENDPOINT_TEXT_UNITS)) {
        n = ENDPOINT_TEXT_UNITS - 1;
        if (sizeof(WCHAR) == 2 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF) {
            --n;
        }
    }
    memcpy(field, text, n * sizeof(WCHAR));
    field[n] = 0;
}

struct CoTaskString {
    LPWSTR text = nullptr;
    ~CoTaskString() { CoTaskMemFree(text); }
};

struct ClearedPropVariant {
    PROPVARIANT value;
    ClearedPropVariant() { memset(&value, 0, sizeof value); }
    ~ClearedPropVariant() { PropVariantClear(&value); }
};

// Reads the endpoint's friendly name into `name` when it can be had;
// otherwise `name` stays empty and the endpoint is listed all the same.
void read_friendly_name(IMMDevice* device, WCHAR* name) {
    com_ptr<IPropertyStore> store;
    if (FAILED(device->OpenPropertyStore(STGM_READ, store.receive()))) {
        return;
    }
    ClearedPropVariant friendly;
    if (SUCCEEDED(store->GetValue(PKEY_Device_FriendlyName, &friendly.value)) &&
        friendly.value.pwszVal != nullptr && friendly.value.pwszVal[0] != 0) {
        copy_cut(name, friendly.value.pwszVal);
    }
}

// Appends the flow's usable active endpoints; -1 when they can't be listed.
int32_t list_flow(EndpointList* list, IMMDeviceEnumerator* enumerator, bool is_capture) {
    com_ptr<IMMDeviceCollection> devices;
    if (FAILED(enumerator->EnumAudioEndpoints(is_capture ? eCapture : eRender, DEVICE_STATE_ACTIVE,
                                              devices.receive()))) {
        return -1;
    }
    UINT count = 0;
    if (FAILED(devices->GetCount(&count))) {
        return -1;
    }
    auto* entry = static_cast<EndpointEntry*>(malloc(sizeof(EndpointEntry)));
    if (entry == nullptr) {
        return -1;
    }
    for (UINT i = 0; i < count; ++i) {
        // Declared in this order so that the endpoint goes back before its id.
        CoTaskString id;
        com_ptr<IMMDevice> device;
        if (FAILED(devices->Item(i, device.receive()))) {
            continue;
        }
        if (FAILED(device->GetId(&id.text)) || id.text == nullptr || id.text[0] == 0) {
            continue;
        }
        // An id that does not fit could not be opened again: leave it out.
        if (wcslen(id.text) >= static_cast<size_t>(ENDPOINT_TEXT_UNITS)) {
            continue;
        }
        memset(entry, 0, sizeof(EndpointEntry));
        entry->flow = is_capture ? 1 : 0;
        entry->is_default = 0;
        wcscpy(entry->device_id, id.text);
        read_friendly_name(device.get(), entry->friendly_name);
        // wsprintfW writes at most 1024 units, so a long name is cut, not overrun.
        wsprintfW(entry->display_text, is_capture ? INPUT_FORMAT : OUTPUT_FORMAT,
                  entry->friendly_name);
        endpoint_list_append(list, entry);
    }
    free(entry);
    return 0;
}

} // namespace

int32_t endpoint_list_append(EndpointList* list, const EndpointEntry* entry) {
    if (list->count == list->capacity) {
        int32_t capacity = list->capacity < 4 ? 4 : list->capacity + list->capacity / 2;
        auto* grown = static_cast<EndpointEntry*>(
            realloc(list->entries, static_cast<size_t>(capacity) * sizeof(EndpointEntry)));
        if (grown == nullptr) {
            return -1;
        }
        list->entries = grown;
        list->capacity = capacity;
    }
    list->entries[list->count++] = *entry;
    return 0;
}

void endpoint_list_free(EndpointList* list) {
    free(list->entries);
    list->entries = nullptr;
    list->count = 0;
    list->capacity = 0;
}

int32_t endpoint_list_add_defaults(EndpointList* list) {
    // Heap, not stack: an entry is 12 KB on Linux (4-byte WCHARs).
    auto* entry = static_cast<EndpointEntry*>(calloc(1, sizeof(EndpointEntry)));
    if (entry == nullptr) {
        return -1;
    }
    entry->is_default = 1;
    entry->flow = 0;
    wcscpy(entry->display_text, OUTPUT_DEFAULT);
    int32_t result = endpoint_list_append(list, entry);
    entry->flow = 1;
    wcscpy(entry->display_text, INPUT_DEFAULT);
    if (endpoint_list_append(list, entry) != 0) {
        result = -1;
    }
    free(entry);
    return result;
}

int32_t enumerate_all_endpoints(EndpointList* list, AudioDevices* devices) {
    // One enumerator for both flows, even without a context.
    com_ptr<IMMDeviceEnumerator> enumerator;
    if (SUCCEEDED(audio_devices_enumerator(devices, enumerator))) {
        list_flow(list, enumerator.get(), false);
        list_flow(list, enumerator.get(), true);
    }
    return 0;
}

int32_t enumerate_endpoints(EndpointList* list, bool is_capture, AudioDevices* devices) {
    com_ptr<IMMDeviceEnumerator> enumerator;
    if (FAILED(audio_devices_enumerator(devices, enumerator))) {
        return -1;
    }
    return list_flow(list, enumerator.get(), is_capture);
}
