// Common controls subset: initialisation, command-link notes, SysLink clicks.
#pragma once

#include "windows.h"

typedef struct tagINITCOMMONCONTROLSEX {
    DWORD dwSize;
    DWORD dwICC;
} INITCOMMONCONTROLSEX, *LPINITCOMMONCONTROLSEX;

#define ICC_BAR_CLASSES 0x00000004u
#define ICC_LINK_CLASS 0x00008000u

BOOL InitCommonControlsEx(const INITCOMMONCONTROLSEX* init);

#define BCM_FIRST 0x1600u
#define BCM_SETNOTE (BCM_FIRST + 0x0009)
#define BCM_GETNOTE (BCM_FIRST + 0x000A)
#define BCM_GETNOTELENGTH (BCM_FIRST + 0x000B)

#define NM_FIRST (0u - 0u)
#define NM_CLICK (NM_FIRST - 2u)
#define NM_RETURN (NM_FIRST - 4u)

#define WC_BUTTONW L"Button"
#define WC_STATICW L"Static"
#define WC_LINK L"SysLink"
