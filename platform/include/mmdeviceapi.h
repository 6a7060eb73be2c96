// The device enumerator and endpoints. On Linux the endpoints are the sound
// server's devices: render endpoints are its sinks, capture endpoints its
// sources that are not monitors (see platform/README.md).
#pragma once

#include "objbase.h"
#include "propidl.h"

typedef enum __MIDL___MIDL_itf_mmdeviceapi_0000_0000_0001 {
    eRender = 0,
    eCapture = 1,
    eAll = 2,
} EDataFlow;

typedef enum __MIDL___MIDL_itf_mmdeviceapi_0000_0000_0002 {
    eConsole = 0,
    eMultimedia = 1,
    eCommunications = 2,
} ERole;

#define DEVICE_STATE_ACTIVE 0x00000001
#define DEVICE_STATE_DISABLED 0x00000002
#define DEVICE_STATE_NOTPRESENT 0x00000004
#define DEVICE_STATE_UNPLUGGED 0x00000008
#define DEVICE_STATEMASK_ALL 0x0000000f

// Not found: an id that names no endpoint, or no default endpoint.
#define E_NOTFOUND HRESULT_FROM_WIN32(ERROR_NOT_FOUND)

struct IMMDevice : IUnknown {
    STDMETHOD(Activate)(REFIID iid, DWORD cls_context, PROPVARIANT* params, void** object) = 0;
    STDMETHOD(OpenPropertyStore)(DWORD access, IPropertyStore** store) = 0;
    // The id string comes from the task allocator; free it with CoTaskMemFree.
    STDMETHOD(GetId)(LPWSTR* id) = 0;
    STDMETHOD(GetState)(DWORD* state) = 0;
};

struct IMMDeviceCollection : IUnknown {
    STDMETHOD(GetCount)(UINT* count) = 0;
    STDMETHOD(Item)(UINT index, IMMDevice** device) = 0;
};

// Told of changes to the endpoints. The calls come on a thread of the
// platform's, never the one that registered; they must return quickly and
// must not call back into the enumerator.
struct IMMNotificationClient : IUnknown {
    STDMETHOD(OnDeviceStateChanged)(LPCWSTR device_id, DWORD new_state) = 0;
    STDMETHOD(OnDeviceAdded)(LPCWSTR device_id) = 0;
    STDMETHOD(OnDeviceRemoved)(LPCWSTR device_id) = 0;
    // `default_id` is null when the flow has no default device any more.
    STDMETHOD(OnDefaultDeviceChanged)(EDataFlow flow, ERole role, LPCWSTR default_id) = 0;
    STDMETHOD(OnPropertyValueChanged)(LPCWSTR device_id, const PROPERTYKEY key) = 0;
};

struct IMMDeviceEnumerator : IUnknown {
    STDMETHOD(EnumAudioEndpoints)(EDataFlow flow, DWORD state_mask,
                                  IMMDeviceCollection** devices) = 0;
    STDMETHOD(GetDefaultAudioEndpoint)(EDataFlow flow, ERole role, IMMDevice** endpoint) = 0;
    STDMETHOD(GetDevice)(LPCWSTR id, IMMDevice** device) = 0;
    STDMETHOD(RegisterEndpointNotificationCallback)(IMMNotificationClient* client) = 0;
    STDMETHOD(UnregisterEndpointNotificationCallback)(IMMNotificationClient* client) = 0;
};

class MMDeviceEnumerator;

SONARET_UUID(IMMDevice, 0xd666063f, 0x1587, 0x4e43, 0x81, 0xf1, 0xb9, 0x48, 0xe8, 0x07, 0x36, 0x3f);
SONARET_UUID(IMMDeviceCollection, 0x0bd7a1be, 0x7a1a, 0x44db, 0x83, 0x97, 0xcc, 0x53, 0x92, 0x38,
             0x7b, 0x5e);
SONARET_UUID(IMMDeviceEnumerator, 0xa95664d2, 0x9614, 0x4f35, 0xa7, 0x46, 0xde, 0x8d, 0xb6, 0x36,
             0x17, 0xe6);
SONARET_UUID(IMMNotificationClient, 0x7991eec9, 0x7e89, 0x4d85, 0x83, 0x90, 0x6c, 0x70, 0x3c, 0xec,
             0x60, 0xc0);
SONARET_UUID(MMDeviceEnumerator, 0xbcde0395, 0xe52f, 0x467c, 0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91,
             0x69, 0x2e);
