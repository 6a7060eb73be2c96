// COM subset: per-thread initialisation, CoCreateInstance over the few
// classes the platform provides, the task allocator and PROPVARIANT.
#include <objbase.h>
#include <propidl.h>
#include <mmdeviceapi.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include <atomic>

#include "com/com_classes.h"
#include "com/com_object.h"

// Results Windows gives that the public headers do not need to name.
#ifndef RPC_E_CHANGED_MODE
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106L)
#endif
#ifndef STG_E_INVALIDPARAMETER
#define STG_E_INVALIDPARAMETER ((HRESULT)0x80030057L)
#endif

namespace {

// Threads currently in the multithreaded apartment. While there are any, a
// thread that never called CoInitialize belongs to it implicitly, as on
// Windows, and may create objects.
std::atomic<unsigned> mta_threads{0};

// The apartment the calling thread entered, and how often.
struct ComThread {
    unsigned inits = 0;
    bool multithreaded = false;

    // A thread that ends still initialised leaves its apartment, as on Windows.
    ~ComThread() {
        if (inits > 0 && multithreaded) {
            --mta_threads;
        }
    }
};

thread_local ComThread com_thread;

bool thread_may_use_com() {
    return com_thread.inits > 0 || mta_threads.load() > 0;
}

} // namespace

HRESULT CoInitialize(LPVOID reserved) {
    return CoInitializeEx(reserved, COINIT_APARTMENTTHREADED);
}

// The reserved argument is ignored, as Windows does.
HRESULT CoInitializeEx(LPVOID /*reserved*/, DWORD co_init) {
    const bool multithreaded = (co_init & COINIT_APARTMENTTHREADED) == 0;
    if (com_thread.inits > 0) {
        if (com_thread.multithreaded != multithreaded) {
            // Not counted: this call needs no CoUninitialize.
            return RPC_E_CHANGED_MODE;
        }
        ++com_thread.inits;
        return S_FALSE;
    }
    com_thread.inits = 1;
    com_thread.multithreaded = multithreaded;
    if (multithreaded) {
        ++mta_threads;
    }
    return S_OK;
}

// An unbalanced call is ignored.
void CoUninitialize(void) {
    if (com_thread.inits == 0) {
        return;
    }
    if (--com_thread.inits == 0 && com_thread.multithreaded) {
        --mta_threads;
    }
}

// Checked in Windows' order: the out pointer, the apartment, the class (and
// context), then what the class itself refuses, such as aggregation.
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD cls_context, REFIID riid,
                         LPVOID* object) {
    if (!object) {
        return E_POINTER;
    }
    *object = nullptr;
    if (!thread_may_use_com()) {
        return CO_E_NOTINITIALIZED;
    }
    // Every class here lives in this process.
    if (clsid != __uuidof(MMDeviceEnumerator) || (cls_context & CLSCTX_INPROC_SERVER) == 0) {
        return REGDB_E_CLASSNOTREG;
    }
    if (outer) {
        return CLASS_E_NOAGGREGATION;
    }
    const HRESULT result = coreaudio_create_enumerator(riid, object);
    if (FAILED(result)) {
        *object = nullptr;
    }
    return result;
}

LPVOID CoTaskMemAlloc(SIZE_T size) {
    return malloc(size);
}

void CoTaskMemFree(LPVOID memory) {
    free(memory);
}

LPWSTR com_strdup(const WCHAR* text) {
    if (!text) {
        return nullptr;
    }
    const size_t bytes = (wcslen(text) + 1) * sizeof(WCHAR);
    auto* copy = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
    if (copy) {
        memcpy(copy, text, bytes);
    }
    return copy;
}

// Windows answers a null pointer with S_OK. A type this program never
// stores is emptied without being freed and reported as invalid.
HRESULT PropVariantClear(PROPVARIANT* value) {
    if (!value) {
        return S_OK;
    }
    HRESULT result = S_OK;
    switch (value->vt) {
    case VT_LPWSTR:
        CoTaskMemFree(value->pwszVal);
        break;
    case VT_EMPTY:
    case 1:  // VT_NULL
    case 2:  // VT_I2
    case 3:  // VT_I4
    case 11: // VT_BOOL
    case 16: // VT_I1
    case 17: // VT_UI1
    case 18: // VT_UI2
    case 19: // VT_UI4
    case 20: // VT_I8
    case 21: // VT_UI8
    case 22: // VT_INT
    case 23: // VT_UINT
        break;
    default:
        result = STG_E_INVALIDPARAMETER;
        break;
    }
    *value = PROPVARIANT{};
    return result;
}
