// The shell subset: the music folder, the folder browser and the "open"
// verb, over the desktop's conventions (XDG folders, the default handler).
#include <windows.h>
#include <shellapi.h>
#include <shlobj.h>

#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

#include "kernel/text.h"
#include "toolkit/os_window.h"
#include "user/user.h"

namespace {

constexpr uintptr_t kShellFailed = 2;         // ERROR_FILE_NOT_FOUND, as ShellExecute reports it
constexpr uintptr_t kShellNoAssociation = 31; // SE_ERR_NOASSOC
constexpr uintptr_t kShellDone = 42;          // any value above 32 means success

// Copies `path` into a buffer of `units` WCHARs (MAX_PATH unless said);
// false when it does not fit.
bool copy_path(const std::wstring& path, LPWSTR out, size_t units = MAX_PATH) {
    if (path.size() >= units) {
        return false;
    }
    wmemcpy(out, path.c_str(), path.size() + 1);
    return true;
}

struct FolderWait {
    bool done = false;
    std::string path;
    bool chosen = false;
};

void folder_chosen(void* context, const char* path) {
    auto* wait = static_cast<FolderWait*>(context);
    if (path) {
        wait->path = path;
        wait->chosen = true;
    }
    wait->done = true;
    PostMessageW(nullptr, WM_NULL, 0, 0); // wakes the wait
}

} // namespace

HRESULT SHGetFolderPathW(HWND /*owner*/, int folder, HANDLE /*token*/, DWORD /*flags*/,
                         LPWSTR path) {
    if (!path) {
        return E_INVALIDARG;
    }
    path[0] = 0;
    std::wstring wide;
    if (folder == CSIDL_PROFILE) {
        // The home folder, as the environment names it now; it must be a
        // folder that exists.
        const char* home = getenv("HOME");
        struct stat info;
        if (!home || home[0] != '/' || stat(home, &info) != 0 || !S_ISDIR(info.st_mode) ||
            !text_wide_from_utf8(home, wide)) {
            return E_FAIL;
        }
        return copy_path(wide, path) ? S_OK : E_FAIL;
    }
    if (folder != CSIDL_MYMUSIC) {
        return E_INVALIDARG; // Linux: only the music and home folders
    }
    char narrow[4096];
    if (!os_music_folder(narrow, sizeof narrow) || !text_wide_from_utf8(narrow, wide)) {
        return E_FAIL;
    }
    return copy_path(wide, path) ? S_OK : E_FAIL;
}

// The item list is one item holding the folder's path (UTF-32 here), then the
// terminating empty item; it is task memory, freed with CoTaskMemFree.
PIDLIST_ABSOLUTE SHBrowseForFolderW(LPBROWSEINFOW info) {
    if (!info || !os_open_display()) {
        return nullptr;
    }
    const HWND owner = info->hwndOwner;
    const bool disable_owner = owner && IsWindowEnabled(owner);
    if (disable_owner) {
        EnableWindow(owner, FALSE);
    }
    FolderWait wait;
    os_choose_folder(user_os_window(owner), folder_chosen, &wait);
    const bool finished = user_modal_loop(nullptr, [&wait] { return wait.done; });
    if (disable_owner) {
        EnableWindow(owner, TRUE);
    }
    std::wstring path;
    if (!finished || !wait.chosen || !text_wide_from_utf8(wait.path, path)) {
        return nullptr;
    }
    const size_t bytes = (path.size() + 1) * sizeof(WCHAR);
    const size_t item = sizeof(unsigned short) + bytes;
    if (item > 0xFFFF) {
        return nullptr;
    }
    auto* list = static_cast<BYTE*>(CoTaskMemAlloc(item + sizeof(unsigned short)));
    if (!list) {
        return nullptr;
    }
    const unsigned short cb = static_cast<unsigned short>(item);
    memcpy(list, &cb, sizeof cb);
    memcpy(list + sizeof cb, path.c_str(), bytes);
    memset(list + item, 0, sizeof(unsigned short));
    if (info->pszDisplayName) {
        const size_t slash = path.find_last_of(L'/');
        copy_path(slash == std::wstring::npos ? path : path.substr(slash + 1),
                  info->pszDisplayName);
    }
    return reinterpret_cast<PIDLIST_ABSOLUTE>(list);
}

BOOL SHGetPathFromIDListW(PCIDLIST_ABSOLUTE list, LPWSTR path) {
    return SHGetPathFromIDListEx(list, path, MAX_PATH, GPFIDL_DEFAULT);
}

BOOL SHGetPathFromIDListEx(PCIDLIST_ABSOLUTE list, LPWSTR path, DWORD units, GPFIDL_FLAGS) {
    if (!list || !path || units == 0) {
        return FALSE;
    }
    path[0] = 0;
    const auto* bytes = reinterpret_cast<const BYTE*>(list);
    unsigned short cb = 0;
    memcpy(&cb, bytes, sizeof cb);
    if (cb <= sizeof cb + sizeof(WCHAR) || (cb - sizeof cb) % sizeof(WCHAR) != 0) {
        return FALSE;
    }
    std::wstring text((cb - sizeof cb) / sizeof(WCHAR) - 1, L'\0');
    memcpy(text.data(), bytes + sizeof cb, text.size() * sizeof(WCHAR));
    return copy_path(text, path, units) ? TRUE : FALSE;
}

HINSTANCE ShellExecuteW(HWND /*owner*/, LPCWSTR verb, LPCWSTR file, LPCWSTR /*parameters*/,
                        LPCWSTR /*directory*/, int /*show*/) {
    std::string target;
    if (!file || !*file || !text_utf8_from_wide(file, target)) {
        return reinterpret_cast<HINSTANCE>(kShellFailed);
    }
    if (verb && wcscmp(verb, L"open") != 0) {
        return reinterpret_cast<HINSTANCE>(kShellNoAssociation); // Linux: only "open"
    }
    return reinterpret_cast<HINSTANCE>(
        os_open_display() && os_open_uri(target.c_str()) ? kShellDone : kShellNoAssociation);
}
