#include "recording_file.h"

#include <fcntl.h>
#include <io.h>
#include <string.h>

namespace {

// The name's own part: "MM-DD-hh-mm-ss.mp3".
constexpr int kNameLength = 18;
// More recordings than this in one second's name means something is wrong
// with the folder, not that a name is still free further on.
constexpr int kMostAttempts = 1000;

// Windows takes a path in its plain form only below MAX_PATH units; a longer
// one it takes in its extended form, "\\?\C:\..." or "\\?\UNC\server\...",
// which reaches the file system as it is: so with backslashes only, and
// absolute and without "." or ".." in it, as the folders from the shell
// are. A path of another form (Linux's, or a relative one) stays as it is.
// `path` holds `length` units; false when its extended form does not fit.
bool extend_long_path(WCHAR (&path)[RECORDING_PATH_UNITS], int length) {
    const WCHAR letter = static_cast<WCHAR>(path[0] | 0x20);
    const bool drive = letter >= L'a' && letter <= L'z' && path[1] == L':' &&
                       (path[2] == L'\\' || path[2] == L'/');
    const bool unc = path[0] == L'\\' && path[1] == L'\\' && path[2] != L'?' && path[2] != L'.';
    if (length < MAX_PATH || (!drive && !unc)) {
        return true;
    }
    // "\\server\share" becomes "\\?\UNC\server\share".
    const WCHAR* prefix = drive ? L"\\\\?\\" : L"\\\\?\\UNC";
    const int kept_from = drive ? 0 : 1;
    const int prefix_length = lstrlenW(prefix);
    if (prefix_length + length - kept_from > RECORDING_PATH_UNITS - 1) {
        return false;
    }
    memmove(path + prefix_length, path + kept_from, (length - kept_from + 1) * sizeof(WCHAR));
    memcpy(path, prefix, prefix_length * sizeof(WCHAR));
    for (WCHAR* c = path + prefix_length; *c != 0; ++c) {
        if (*c == L'/') {
            *c = L'\\';
        }
    }
    return true;
}

int digits(int value) {
    int count = 1;
    while (value >= 10) {
        value /= 10;
        ++count;
    }
    return count;
}

// A binary stream that owns the file `handle` names; null (and the file
// closed) when it can't be had.
FILE* stream_on(HANDLE handle) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        return nullptr;
    }
    FILE* stream = _fdopen(fd, "wb");
    if (stream == nullptr) {
        _close(fd);
    }
    return stream;
}

} // namespace

int32_t ReserveRecordingFile(WCHAR (&path)[RECORDING_PATH_UNITS], const WCHAR* folder,
                             const SYSTEMTIME& start, FILE** file) {
    path[0] = L'\0';
    if (file != nullptr) {
        *file = nullptr;
    }
    if (!folder) {
        return -1;
    }
    const int folder_length = lstrlenW(folder);
    // No folder is no place for a file, never the root.
    if (folder_length == 0) {
        return -1;
    }
    // Both systems take '/' between folder and name, and only '/' counts as
    // a separator: on Linux a backslash is an ordinary character of a name,
    // and Windows reads "C:\/" as "C:\". A folder that ends with '/' gets
    // none added.
    const bool has_separator = folder[folder_length - 1] == L'/';
    const WCHAR* separator = has_separator ? L"" : L"/";
    for (int attempt = 1; attempt <= kMostAttempts; ++attempt) {
        const int length = folder_length + (has_separator ? 0 : 1) + kNameLength +
                           (attempt > 1 ? 1 + digits(attempt) : 0);
        // A path cut to fit the buffer would name some other file.
        if (length > RECORDING_PATH_UNITS - 1) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            break;
        }
        WCHAR suffix[16] = L"";
        if (attempt > 1) {
            wsprintfW(suffix, L"-%d", attempt);
        }
        wsprintfW(path, L"%s%s%02d-%02d-%02d-%02d-%02d%s.mp3", folder, separator, start.wMonth,
                  start.wDay, start.wHour, start.wMinute, start.wSecond, suffix);
        if (!extend_long_path(path, length)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            break;
        }
        HANDLE handle = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            if (file == nullptr) {
                CloseHandle(handle);
                return 0;
            }
            *file = stream_on(handle);
            if (*file != nullptr) {
                return 0;
            }
            DeleteFileW(path); // no stream, no recording: the name goes too
            break;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    path[0] = L'\0';
    return -1;
}
