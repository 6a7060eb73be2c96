// COM subset: GUIDs, HRESULTs, IUnknown, CoInitialize, CoCreateInstance (a
// small class registry: only the device enumerator), the task allocator.
#pragma once

#include "windows.h"

typedef LONG HRESULT;

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001L)
#define E_NOINTERFACE ((HRESULT)0x80004002L)
#define E_POINTER ((HRESULT)0x80004003L)
#define E_FAIL ((HRESULT)0x80004005L)
#define E_ACCESSDENIED ((HRESULT)0x80070005L)
#define E_UNEXPECTED ((HRESULT)0x8000FFFFL)
#define E_OUTOFMEMORY ((HRESULT)0x8007000EL)
#define E_INVALIDARG ((HRESULT)0x80070057L)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110L)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154L)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0L)
#define HRESULT_FROM_WIN32(x)                                                                     \
    ((HRESULT)(x) <= 0 ? (HRESULT)(x) : (HRESULT)(((x)&0x0000FFFF) | (7 << 16) | 0x80000000))
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

#define STDMETHODCALLTYPE
#define STDMETHOD(name) virtual HRESULT STDMETHODCALLTYPE name
#define STDMETHOD_(type, name) virtual type STDMETHODCALLTYPE name

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID, IID, CLSID;
typedef const GUID& REFGUID;
typedef const IID& REFIID;
typedef const CLSID& REFCLSID;
typedef const GUID* LPCGUID;

inline bool operator==(const GUID& a, const GUID& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}
inline bool operator!=(const GUID& a, const GUID& b) { return !(a == b); }

// __uuidof(T) for the interfaces and classes declared here, as the Windows
// compilers provide it. Each header names its types' GUIDs with
// SONARET_UUID(type, ...).
template <typename T> struct sonaret_uuid_of;
#define SONARET_UUID(type, d1, d2, d3, b0, b1, b2, b3, b4, b5, b6, b7)                            \
    template <> struct sonaret_uuid_of<type> {                                                     \
        static constexpr GUID value{d1, d2, d3, {b0, b1, b2, b3, b4, b5, b6, b7}};                 \
    }
#define __uuidof(type) (sonaret_uuid_of<type>::value)

struct IUnknown {
    STDMETHOD(QueryInterface)(REFIID riid, void** object) = 0;
    STDMETHOD_(ULONG, AddRef)() = 0;
    STDMETHOD_(ULONG, Release)() = 0;

  protected:
    ~IUnknown() = default;
};
typedef IUnknown* LPUNKNOWN;
SONARET_UUID(IUnknown, 0x00000000, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

enum tagCLSCTX {
    CLSCTX_INPROC_SERVER = 0x1,
    CLSCTX_INPROC_HANDLER = 0x2,
    CLSCTX_LOCAL_SERVER = 0x4,
    CLSCTX_REMOTE_SERVER = 0x10,
    CLSCTX_ALL = 0x17,
};

#define COINIT_APARTMENTTHREADED 0x2
#define COINIT_MULTITHREADED 0x0

// Per thread and counted: each successful CoInitialize (S_OK, or S_FALSE
// when already initialised) needs its own CoUninitialize.
HRESULT CoInitialize(LPVOID reserved);
HRESULT CoInitializeEx(LPVOID reserved, DWORD co_init);
void CoUninitialize(void);
HRESULT CoCreateInstance(REFCLSID clsid, LPUNKNOWN outer, DWORD cls_context, REFIID riid,
                         LPVOID* object);
LPVOID CoTaskMemAlloc(SIZE_T size);
void CoTaskMemFree(LPVOID memory);
