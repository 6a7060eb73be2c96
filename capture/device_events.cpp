#include "device_events.h"

#include <objbase.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <new>

#include "audio_devices_internal.h"
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
    // Declared in this order so that the watcher goes before the enumerator.
    com_ptr<IMMDeviceEnumerator> enumerator; // the registration belongs to it
    com_ptr<Watcher> watcher;
};

int32_t device_events_open(DeviceEvents** out, HWND window, UINT message, AudioDevices* devices) {
    if (out == nullptr) {
        return -1;
    }
    *out = nullptr;
    auto* events = new (std::nothrow) DeviceEvents{};
    if (events == nullptr) {
        return -1;
    }
    if (FAILED(audio_devices_enumerator(devices, events->enumerator))) {
        delete events;
        return -1;
    }
    events->watcher.attach(new (std::nothrow) Watcher(window, message));
    if (!events->watcher ||
        FAILED(events->enumerator->RegisterEndpointNotificationCallback(events->watcher.get()))) {
        delete events;
        return -1;
    }
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
    e->enumerator->UnregisterEndpointNotificationCallback(e->watcher.get());
    // A call that was already under way when the registration went posts
    // nowhere.
    e->watcher->detach();
    delete e;
    *events = nullptr;
    return 0;
}
