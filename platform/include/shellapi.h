// Shell subset: the "open" verb.
#pragma once

#include "windows.h"

HINSTANCE ShellExecuteW(HWND owner, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters,
                        LPCWSTR directory, int show);
