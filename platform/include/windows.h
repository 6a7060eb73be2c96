// The Windows interfaces that Sonaret calls, for the Linux build. Only the
// subset the program uses is declared, with Win32's names, types and values,
// so that a call site compiles unchanged against the real SDK.
#pragma once

#include "windef.h"
#include "winbase.h"
#include "winuser.h"
#include "wingdi.h"
