#include "device_events.h"

#include <objbase.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <new>
#include <stdlib.h>

#include "com_ptr.h"

namespace {

// The notification client. The audio service calls it on a thread of its
// own, so everything it touches is atomic, and it only ever posts.
class Watcher final : public IMMNotificationClient {
  public:
    Watcher(HWND window, UINT message) : window_(window), message_(message) {}

    STDMETHOD(QueryInterface)(REFIID riid, void** object) override {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (riid == __uuidof(IUnknown) || riid == __uuidof(IMMNotificationClient)) {
            *object = static_cast<IMMNotificationClient*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return refs_.fetch_add(1) + 1; }
    STDMETHOD_(ULONG, Release)() override {
        const ULONG left = refs_.fetch_sub(1) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

    STDMETHOD(OnDeviceStateChanged)(LPCWSTR, DWORD) override { return announce(); }
    STDMETHOD(OnDeviceAdded)(LPCWSTR) override { return announce(); }
    STDMETHOD(OnDeviceRemoved)(LPCWSTR) override { return announce(); }
    STDMETHOD(OnDefaultDeviceChanged)(EDataFlow, ERole, LPCWSTR) override { return announce(); }
    // Names and formats: a format change invalidates the streams on the
    // device, which the capture reports by itself.
    STDMETHOD(OnPropertyValueChanged)(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

    void rearm() { posted_.store(false); }
    void detach() { window_.store(nullptr); }

  private:
    ~Watcher() = default;

    HRESULT announce() {
        HWND window = window_.load();
        if (window != nullptr && !posted_.exchange(true) &&
            !PostMessageW(window, message_, 0, 0)) {
            posted_.store(false); // refused: the next change tries again
        }
        return S_OK;
    }

    std::atomic<ULONG> refs_{1};
    std::atomic<HWND> window_;
    const UINT message_;
    std::atomic<bool> posted_{false};
};

} // namespace

struct DeviceEvents {
    IMMDeviceEnumerator* enumerator; // the registration belongs to it
    Watcher* watcher;
};

int32_t device_events_open(DeviceEvents** out, HWND window, UINT message) {
    if (out == nullptr) {
        return -1;
    }
    *out = nullptr;
    com_ptr<IMMDeviceEnumerator> enumerator;
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL,
                                __uuidof(IMMDeviceEnumerator), enumerator.receive_void()))) {
        return -1;
    }
    auto* watcher = new (std::nothrow) Watcher(window, message);
    if (watcher == nullptr) {
        return -1;
    }
    auto* events = static_cast<DeviceEvents*>(calloc(1, sizeof(DeviceEvents)));
    if (events == nullptr || FAILED(enumerator->RegisterEndpointNotificationCallback(watcher))) {
        free(events);
        watcher->Release();
        return -1;
    }
    events->watcher = watcher;
    events->enumerator = enumerator.get();
    events->enumerator->AddRef();
    *out = events;
    return 0;
}

void device_events_rearm(DeviceEvents* events) {
    if (events != nullptr) {
        events->watcher->rearm();
    }
}

int32_t device_events_close(DeviceEvents** events) {
    if (events == nullptr || *events == nullptr) {
        return -1;
    }
    DeviceEvents* e = *events;
    e->enumerator->UnregisterEndpointNotificationCallback(e->watcher);
    // A call that was already under way when the registration went posts
    // nowhere.
    e->watcher->detach();
    e->watcher->Release();
    e->enumerator->Release();
    free(e);
    *events = nullptr;
    return 0;
}
