// The multimedia class scheduler's calls the capture thread makes (avrt.dll
// on Windows): an audio thread registers as one and reverts at its end.
#pragma once

#include "windef.h"

HANDLE AvSetMmThreadCharacteristicsW(LPCWSTR task_name, LPDWORD task_index);
BOOL AvRevertMmThreadCharacteristics(HANDLE avrt_handle);
