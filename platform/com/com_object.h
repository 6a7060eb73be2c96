// The base of the platform's COM objects (internal to platform/): reference
// counting and QueryInterface over IUnknown and the listed interfaces.
//
//   class Device final : public ComObject<IMMDevice> { ... };
//   return com_query_new(new (std::nothrow) Device(...), riid, object);
#pragma once

#include <objbase.h>

#include <atomic>

// A new object starts with one reference, its creator's. Release deletes it
// at zero; the counts are atomic, so references may move between threads.
template <typename... Interfaces> class ComObject : public Interfaces... {
    static_assert(sizeof...(Interfaces) > 0, "a COM object implements at least one interface");

  public:
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    STDMETHOD(QueryInterface)(REFIID riid, void** object) override {
        if (!object) {
            return E_POINTER;
        }
        *object = nullptr;
        if (riid == __uuidof(IUnknown)) {
            // Always the same pointer: COM compares objects by their IUnknown.
            *object = identity();
        } else {
            ((*object == nullptr && riid == __uuidof(Interfaces)
                  ? void(*object = static_cast<Interfaces*>(this))
                  : void()),
             ...);
        }
        if (!*object) {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }

    STDMETHOD_(ULONG, AddRef)() override {
        return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
    }

    STDMETHOD_(ULONG, Release)() override {
        const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) {
            delete this;
        }
        return left;
    }

  protected:
    ComObject() = default;
    virtual ~ComObject() = default;

  private:
    template <typename First, typename...> IUnknown* first_interface() {
        return static_cast<First*>(this);
    }
    IUnknown* identity() { return first_interface<Interfaces...>(); }

    std::atomic<ULONG> refs_{1};
};

// Hands a newly made object out as `riid` and drops the creator's reference,
// so the object is freed when the interface is not supported. A null
// `fresh` (a failed new (std::nothrow)) gives E_OUTOFMEMORY.
template <typename T> HRESULT com_query_new(T* fresh, REFIID riid, void** object) {
    if (!object) {
        if (fresh) {
            fresh->Release();
        }
        return E_POINTER;
    }
    if (!fresh) {
        *object = nullptr;
        return E_OUTOFMEMORY;
    }
    const HRESULT result = fresh->QueryInterface(riid, object);
    fresh->Release();
    return result;
}

// A copy of `text` in task memory, for the caller to free with CoTaskMemFree
// (device ids, property strings). Null for null text or when out of memory.
LPWSTR com_strdup(const WCHAR* text);
