// Property values and stores: PROPVARIANT (only what the program reads),
// PROPERTYKEY and IPropertyStore.
#pragma once

#include "objbase.h"

#define VT_EMPTY 0
#define VT_LPWSTR 31

#define STGM_READ 0x00000000L

// A counted block of bytes. Never read here, but the largest member of the
// value's union on Windows, so it gives PROPVARIANT its real size.
typedef struct tagBLOB {
    ULONG cbSize;
    BYTE* pBlobData;
} BLOB;

typedef struct tagPROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        LPWSTR pwszVal;
        ULONG ulVal;
        LONG lVal;
        uint64_t uhVal;
        BLOB blob;
    };
} PROPVARIANT;

inline void PropVariantInit(PROPVARIANT* value) { *value = PROPVARIANT{}; }
// Frees what the value holds (a string from the task allocator) and empties it.
HRESULT PropVariantClear(PROPVARIANT* value);

typedef struct _tagpropertykey {
    GUID fmtid;
    DWORD pid;
} PROPERTYKEY;
typedef const PROPERTYKEY& REFPROPERTYKEY;

struct IPropertyStore : IUnknown {
    STDMETHOD(GetCount)(DWORD* count) = 0;
    STDMETHOD(GetAt)(DWORD index, PROPERTYKEY* key) = 0;
    STDMETHOD(GetValue)(REFPROPERTYKEY key, PROPVARIANT* value) = 0;
};
SONARET_UUID(IPropertyStore, 0x886d8eeb, 0x8cf2, 0x4446, 0x8d, 0x02, 0xcd, 0xba, 0x1d, 0xbd, 0xcf,
             0x99);
