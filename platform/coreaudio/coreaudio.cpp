// The device enumerator, endpoints and their property stores over the sound
// server. Render endpoints are sinks, capture endpoints the sources that are
// not monitors. An endpoint id is L"sink:" or L"source:" followed by the
// server's device name, which stays the same across runs and reboots.
#include <audioclient.h>
#include <functiondiscoverykeys_devpkey.h>
#include <mmdeviceapi.h>

#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "com/com_classes.h"
#include "com/com_object.h"
#include "coreaudio/client.h"
#include "coreaudio/pulse.h"
#include "kernel/text.h"

namespace {

constexpr std::wstring_view kSinkPrefix = L"sink:";
constexpr std::wstring_view kSourcePrefix = L"source:";

std::wstring wide_or_empty(const std::string& utf8) {
    std::wstring wide;
    text_wide_from_utf8(utf8, wide);
    return wide;
}

std::wstring endpoint_id(const PulseDevice& device) {
    return pulse_endpoint_id(device.flow, device.name);
}

bool same_key(const PROPERTYKEY& a, const PROPERTYKEY& b) {
    return a.fmtid == b.fmtid && a.pid == b.pid;
}

class PropertyStore final : public ComObject<IPropertyStore> {
  public:
    explicit PropertyStore(std::wstring friendly_name) : friendly_name_(std::move(friendly_name)) {}

    STDMETHOD(GetCount)(DWORD* count) override {
        if (!count) {
            return E_POINTER;
        }
        *count = 1;
        return S_OK;
    }

    STDMETHOD(GetAt)(DWORD index, PROPERTYKEY* key) override {
        if (!key) {
            return E_POINTER;
        }
        if (index != 0) {
            return E_INVALIDARG;
        }
        *key = PKEY_Device_FriendlyName;
        return S_OK;
    }

    STDMETHOD(GetValue)(REFPROPERTYKEY key, PROPVARIANT* value) override {
        if (!value) {
            return E_POINTER;
        }
        PropVariantInit(value);
        if (!same_key(key, PKEY_Device_FriendlyName)) {
            return S_OK; // an unknown key is empty, not an error
        }
        value->pwszVal = com_strdup(friendly_name_.c_str());
        if (!value->pwszVal) {
            return E_OUTOFMEMORY;
        }
        value->vt = VT_LPWSTR;
        return S_OK;
    }

  private:
    std::wstring friendly_name_;
};

class Device final : public ComObject<IMMDevice> {
  public:
    Device(std::shared_ptr<PulseConnection> connection, PulseDevice device)
        : connection_(std::move(connection)), device_(std::move(device)) {}

    STDMETHOD(Activate)(REFIID iid, DWORD, PROPVARIANT*, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (iid != __uuidof(IAudioClient)) {
            return E_NOINTERFACE;
        }
        // The format and monitor come from the server now, not from when the
        // device was listed.
        PulseDevice now;
        HRESULT hr = connection_->find(device_.flow, device_.name, now);
        if (hr == E_NOTFOUND) {
            return AUDCLNT_E_DEVICE_INVALIDATED;
        }
        if (FAILED(hr)) {
            return hr;
        }
        return coreaudio_create_client(connection_, now, iid, object);
    }

    STDMETHOD(OpenPropertyStore)(DWORD access, IPropertyStore** store) override {
        if (!store) {
            return E_POINTER;
        }
        *store = nullptr;
        if (access != STGM_READ) {
            return E_INVALIDARG;
        }
        std::wstring name = wide_or_empty(device_.description);
        if (name.empty()) {
            name = wide_or_empty(device_.name);
        }
        return com_query_new(new (std::nothrow) PropertyStore(std::move(name)),
                             __uuidof(IPropertyStore), reinterpret_cast<void**>(store));
    }

    STDMETHOD(GetId)(LPWSTR* id) override {
        if (!id) {
            return E_POINTER;
        }
        *id = com_strdup(endpoint_id(device_).c_str());
        return *id ? S_OK : E_OUTOFMEMORY;
    }

    STDMETHOD(GetState)(DWORD* state) override {
        if (!state) {
            return E_POINTER;
        }
        PulseDevice now;
        HRESULT hr = connection_->find(device_.flow, device_.name, now);
        if (hr == E_NOTFOUND) {
            *state = DEVICE_STATE_NOTPRESENT;
            return S_OK;
        }
        if (FAILED(hr)) {
            return hr;
        }
        *state = now.state;
        return S_OK;
    }

  private:
    std::shared_ptr<PulseConnection> connection_;
    PulseDevice device_;
};

HRESULT new_device(const std::shared_ptr<PulseConnection>& connection, const PulseDevice& device,
                   IMMDevice** out) {
    return com_query_new(new (std::nothrow) Device(connection, device), __uuidof(IMMDevice),
                         reinterpret_cast<void**>(out));
}

class DeviceCollection final : public ComObject<IMMDeviceCollection> {
  public:
    DeviceCollection(std::shared_ptr<PulseConnection> connection, std::vector<PulseDevice> devices)
        : connection_(std::move(connection)), devices_(std::move(devices)) {}

    STDMETHOD(GetCount)(UINT* count) override {
        if (!count) {
            return E_POINTER;
        }
        *count = static_cast<UINT>(devices_.size());
        return S_OK;
    }

    STDMETHOD(Item)(UINT index, IMMDevice** device) override {
        if (!device) {
            return E_POINTER;
        }
        *device = nullptr;
        if (index >= devices_.size()) {
            return E_INVALIDARG;
        }
        return new_device(connection_, devices_[index], device);
    }

  private:
    std::shared_ptr<PulseConnection> connection_;
    std::vector<PulseDevice> devices_;
};

class DeviceEnumerator final : public ComObject<IMMDeviceEnumerator> {
  public:
    explicit DeviceEnumerator(std::shared_ptr<PulseConnection> connection)
        : connection_(std::move(connection)) {}
    // Devices and clients may keep the connection; the notification clients
    // go with the enumerator, as on Windows.
    ~DeviceEnumerator() override { connection_->remove_all_clients(); }

    STDMETHOD(EnumAudioEndpoints)
    (EDataFlow flow, DWORD state_mask, IMMDeviceCollection** devices) override {
        if (!devices) {
            return E_POINTER;
        }
        *devices = nullptr;
        if (flow != eRender && flow != eCapture && flow != eAll) {
            return E_INVALIDARG;
        }
        if (state_mask == 0 || (state_mask & ~DWORD{DEVICE_STATEMASK_ALL}) != 0) {
            return E_INVALIDARG;
        }
        std::vector<PulseDevice> chosen;
        for (EDataFlow f : {eRender, eCapture}) {
            if (flow != eAll && flow != f) {
                continue;
            }
            std::vector<PulseDevice> listed;
            HRESULT hr = connection_->list(f, listed);
            if (FAILED(hr)) {
                return hr;
            }
            // The server lists by index, the order devices appeared in.
            for (PulseDevice& d : listed) {
                if (!d.is_monitor && (d.state & state_mask) != 0) {
                    chosen.push_back(std::move(d));
                }
            }
        }
        return com_query_new(new (std::nothrow) DeviceCollection(connection_, std::move(chosen)),
                             __uuidof(IMMDeviceCollection), reinterpret_cast<void**>(devices));
    }

    STDMETHOD(GetDefaultAudioEndpoint)(EDataFlow flow, ERole role, IMMDevice** endpoint) override {
        if (!endpoint) {
            return E_POINTER;
        }
        *endpoint = nullptr;
        if ((flow != eRender && flow != eCapture) ||
            (role != eConsole && role != eMultimedia && role != eCommunications)) {
            return E_INVALIDARG;
        }
        // The server has one default per direction, whatever the role. A
        // monitor as default source is returned as it is: the user chose it.
        std::string name;
        HRESULT hr = connection_->default_name(flow, name);
        if (FAILED(hr)) {
            return hr;
        }
        PulseDevice device;
        hr = connection_->find(flow, name, device);
        if (FAILED(hr)) {
            return hr;
        }
        return new_device(connection_, device, endpoint);
    }

    STDMETHOD(GetDevice)(LPCWSTR id, IMMDevice** device) override {
        if (!id || !device) {
            return E_POINTER;
        }
        *device = nullptr;
        std::wstring_view text(id);
        EDataFlow flow;
        if (text.starts_with(kSinkPrefix)) {
            flow = eRender;
            text.remove_prefix(kSinkPrefix.size());
        } else if (text.starts_with(kSourcePrefix)) {
            flow = eCapture;
            text.remove_prefix(kSourcePrefix.size());
        } else {
            return E_NOTFOUND;
        }
        std::string name;
        if (text.empty() || !text_utf8_from_wide(text, name)) {
            return E_NOTFOUND;
        }
        PulseDevice found;
        HRESULT hr = connection_->find(flow, name, found);
        if (FAILED(hr)) {
            return hr;
        }
        return new_device(connection_, found, device);
    }

    // The client is called on the connection's thread, with its lock held
    // (see coreaudio/notify.cpp), so once Unregister has taken that lock no
    // call of the client is running or will come.
    STDMETHOD(RegisterEndpointNotificationCallback)(IMMNotificationClient* client) override {
        if (!client) {
            return E_POINTER;
        }
        return connection_->add_client(client);
    }

    STDMETHOD(UnregisterEndpointNotificationCallback)(IMMNotificationClient* client) override {
        if (!client) {
            return E_POINTER;
        }
        return connection_->remove_client(client);
    }

  private:
    std::shared_ptr<PulseConnection> connection_;
};

} // namespace

HRESULT coreaudio_create_enumerator(REFIID riid, void** object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    std::shared_ptr<PulseConnection> connection = PulseConnection::connect();
    if (!connection) {
        return AUDCLNT_E_SERVICE_NOT_RUNNING;
    }
    return com_query_new(new (std::nothrow) DeviceEnumerator(std::move(connection)), riid, object);
}
