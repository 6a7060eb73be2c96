// Shell subset: the user's music and home folders and the folder browser.
#pragma once

#include "objbase.h"

#define CSIDL_MYMUSIC 0x000d
#define CSIDL_PROFILE 0x0028
#define SHGFP_TYPE_CURRENT 0
#define BIF_RETURNONLYFSDIRS 0x00000001u

typedef struct _SHITEMID {
    unsigned short cb;
    BYTE abID[1];
} SHITEMID;
typedef struct _ITEMIDLIST {
    SHITEMID mkid;
} ITEMIDLIST, *LPITEMIDLIST;
typedef const ITEMIDLIST* PCIDLIST_ABSOLUTE;
typedef ITEMIDLIST* PIDLIST_ABSOLUTE;
typedef const ITEMIDLIST* LPCITEMIDLIST;

typedef int(CALLBACK* BFFCALLBACK)(HWND hwnd, UINT message, LPARAM lparam, LPARAM data);

typedef struct _browseinfoW {
    HWND hwndOwner;
    PCIDLIST_ABSOLUTE pidlRoot;
    LPWSTR pszDisplayName;
    LPCWSTR lpszTitle;
    UINT ulFlags;
    BFFCALLBACK lpfn;
    LPARAM lParam;
    int iImage;
} BROWSEINFOW, *LPBROWSEINFOW;

HRESULT SHGetFolderPathW(HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path);
PIDLIST_ABSOLUTE SHBrowseForFolderW(LPBROWSEINFOW info);
BOOL SHGetPathFromIDListW(PCIDLIST_ABSOLUTE list, LPWSTR path);
typedef int GPFIDL_FLAGS;
#define GPFIDL_DEFAULT 0
BOOL SHGetPathFromIDListEx(PCIDLIST_ABSOLUTE list, LPWSTR path, DWORD units, GPFIDL_FLAGS flags);
