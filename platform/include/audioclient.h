// Shared-mode audio streams: IAudioClient and its capture and render
// services, with the wave format they use.
#pragma once

#include "objbase.h"

typedef LONGLONG REFERENCE_TIME; // 100 ns units

#define WAVE_FORMAT_PCM 0x0001
#define WAVE_FORMAT_IEEE_FLOAT 0x0003
#define WAVE_FORMAT_EXTENSIBLE 0xFFFE

#pragma pack(push, 1)
typedef struct tWAVEFORMATEX {
    WORD wFormatTag;
    WORD nChannels;
    DWORD nSamplesPerSec;
    DWORD nAvgBytesPerSec;
    WORD nBlockAlign;
    WORD wBitsPerSample;
    WORD cbSize;
} WAVEFORMATEX;

typedef struct {
    WAVEFORMATEX Format;
    union {
        WORD wValidBitsPerSample;
        WORD wSamplesPerBlock;
        WORD wReserved;
    } Samples;
    DWORD dwChannelMask;
    GUID SubFormat;
} WAVEFORMATEXTENSIBLE;
#pragma pack(pop)

inline constexpr GUID KSDATAFORMAT_SUBTYPE_IEEE_FLOAT = {
    0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

typedef enum _AUDCLNT_SHAREMODE {
    AUDCLNT_SHAREMODE_SHARED = 0,
    AUDCLNT_SHAREMODE_EXCLUSIVE = 1,
} AUDCLNT_SHAREMODE;

#define AUDCLNT_STREAMFLAGS_LOOPBACK 0x00020000
#define AUDCLNT_STREAMFLAGS_EVENTCALLBACK 0x00040000

typedef enum _AUDCLNT_BUFFERFLAGS {
    AUDCLNT_BUFFERFLAGS_DATA_DISCONTINUITY = 0x1,
    AUDCLNT_BUFFERFLAGS_SILENT = 0x2,
    AUDCLNT_BUFFERFLAGS_TIMESTAMP_ERROR = 0x4,
} AUDCLNT_BUFFERFLAGS;

#define AUDCLNT_ERR(n) ((HRESULT)(0x88890000 | (n)))
#define AUDCLNT_SUCCESS(n) ((HRESULT)(0x08890000 | (n)))
#define AUDCLNT_E_NOT_INITIALIZED AUDCLNT_ERR(0x001)
#define AUDCLNT_E_ALREADY_INITIALIZED AUDCLNT_ERR(0x002)
#define AUDCLNT_E_WRONG_ENDPOINT_TYPE AUDCLNT_ERR(0x003)
#define AUDCLNT_E_DEVICE_INVALIDATED AUDCLNT_ERR(0x004)
#define AUDCLNT_E_NOT_STOPPED AUDCLNT_ERR(0x005)
#define AUDCLNT_E_BUFFER_TOO_LARGE AUDCLNT_ERR(0x006)
#define AUDCLNT_E_OUT_OF_ORDER AUDCLNT_ERR(0x007)
#define AUDCLNT_E_UNSUPPORTED_FORMAT AUDCLNT_ERR(0x008)
#define AUDCLNT_E_INVALID_SIZE AUDCLNT_ERR(0x009)
#define AUDCLNT_E_SERVICE_NOT_RUNNING AUDCLNT_ERR(0x010)
#define AUDCLNT_E_EVENTHANDLE_NOT_EXPECTED AUDCLNT_ERR(0x011)
#define AUDCLNT_E_EVENTHANDLE_NOT_SET AUDCLNT_ERR(0x014)
#define AUDCLNT_E_BUFFER_ERROR AUDCLNT_ERR(0x018)
#define AUDCLNT_S_BUFFER_EMPTY AUDCLNT_SUCCESS(0x001)

struct IAudioClient : IUnknown {
    STDMETHOD(Initialize)(AUDCLNT_SHAREMODE share_mode, DWORD stream_flags,
                          REFERENCE_TIME buffer_duration, REFERENCE_TIME periodicity,
                          const WAVEFORMATEX* format, LPCGUID session) = 0;
    STDMETHOD(GetBufferSize)(UINT32* frames) = 0;
    STDMETHOD(GetStreamLatency)(REFERENCE_TIME* latency) = 0;
    STDMETHOD(GetCurrentPadding)(UINT32* frames) = 0;
    STDMETHOD(IsFormatSupported)(AUDCLNT_SHAREMODE share_mode, const WAVEFORMATEX* format,
                                 WAVEFORMATEX** closest) = 0;
    // The block comes from the task allocator; free it with CoTaskMemFree.
    STDMETHOD(GetMixFormat)(WAVEFORMATEX** format) = 0;
    STDMETHOD(GetDevicePeriod)(REFERENCE_TIME* default_period, REFERENCE_TIME* minimum_period) = 0;
    STDMETHOD(Start)() = 0;
    STDMETHOD(Stop)() = 0;
    STDMETHOD(Reset)() = 0;
    STDMETHOD(SetEventHandle)(HANDLE event) = 0;
    STDMETHOD(GetService)(REFIID iid, void** service) = 0;
};

struct IAudioCaptureClient : IUnknown {
    STDMETHOD(GetBuffer)(BYTE** data, UINT32* frames, DWORD* flags, UINT64* device_position,
                         UINT64* qpc_position) = 0;
    STDMETHOD(ReleaseBuffer)(UINT32 frames) = 0;
    STDMETHOD(GetNextPacketSize)(UINT32* frames) = 0;
};

struct IAudioRenderClient : IUnknown {
    STDMETHOD(GetBuffer)(UINT32 frames, BYTE** data) = 0;
    STDMETHOD(ReleaseBuffer)(UINT32 frames, DWORD flags) = 0;
};

SONARET_UUID(IAudioClient, 0x1cb9ad4c, 0xdbfa, 0x4c32, 0xb1, 0x78, 0xc2, 0xf5, 0x68, 0xa7, 0x03,
             0xb2);
SONARET_UUID(IAudioCaptureClient, 0xc8adbd64, 0xe71e, 0x48a0, 0xa4, 0xde, 0x18, 0x5c, 0x39, 0x5c,
             0xd3, 0x17);
SONARET_UUID(IAudioRenderClient, 0xf294acfc, 0x3146, 0x4483, 0xa7, 0xbf, 0xad, 0xdc, 0xa7, 0xc2,
             0x60, 0xe2);
