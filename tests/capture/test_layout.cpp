// The structures the capture layer reads from Core Audio have Windows'
// layout, sizes and field offsets as the SDK documents them. Compiled in
// both builds: the Linux build checks its own headers (platform/include)
// against these numbers, and the Windows build checks the numbers against
// the SDK's headers.
#include <windows.h>
#include <objbase.h>
#include <mmdeviceapi.h>
#include <audioclient.h>

#include <stddef.h>

// WAVEFORMATEX is byte-packed: 18 bytes, cbSize last.
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(offsetof(WAVEFORMATEX, wFormatTag) == 0);
static_assert(offsetof(WAVEFORMATEX, nChannels) == 2);
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4);
static_assert(offsetof(WAVEFORMATEX, nAvgBytesPerSec) == 8);
static_assert(offsetof(WAVEFORMATEX, nBlockAlign) == 12);
static_assert(offsetof(WAVEFORMATEX, wBitsPerSample) == 14);
static_assert(offsetof(WAVEFORMATEX, cbSize) == 16);

// The mix format's extension follows at once, 22 bytes of it (cbSize).
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, Samples) == 18);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, dwChannelMask) == 20);
static_assert(offsetof(WAVEFORMATEXTENSIBLE, SubFormat) == 24);

// PROPVARIANT: the type, three reserved words, then the value; 16 bytes on
// 32-bit Windows, 24 on 64-bit (its largest member is a count and a pointer).
static_assert(offsetof(PROPVARIANT, vt) == 0);
static_assert(offsetof(PROPVARIANT, pwszVal) == 8);
static_assert(sizeof(PROPVARIANT) == 8 + 2 * sizeof(void*));

static_assert(sizeof(PROPERTYKEY) == 20);
static_assert(offsetof(PROPERTYKEY, pid) == 16);
static_assert(sizeof(GUID) == 16);
