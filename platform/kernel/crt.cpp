// The C runtime's wide-character calls.
#include <windows.h>
#include <io.h>

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "kernel/text.h"

FILE* _wfopen(const WCHAR* path, const WCHAR* mode) {
    // Windows' CRT answers null or empty arguments with EINVAL; so do we, and
    // for text that has no UTF-8 form, which no file name can hold.
    std::string narrow_path;
    std::string narrow_mode;
    if (!path || !mode || !*path || !*mode || !text_utf8_from_wide(path, narrow_path) ||
        !text_utf8_from_wide(mode, narrow_mode)) {
        errno = EINVAL;
        return nullptr;
    }
    return fopen(narrow_path.c_str(), narrow_mode.c_str());
}

FILE* _fdopen(int fd, const char* mode) {
    return fdopen(fd, mode);
}

int _fileno(FILE* stream) {
    return fileno(stream);
}

long long _ftelli64(FILE* stream) {
    return static_cast<long long>(ftello(stream));
}

int _fseeki64(FILE* stream, long long offset, int origin) {
    return fseeko(stream, static_cast<off_t>(offset), origin);
}

int _close(int fd) {
    return close(fd);
}

long _filelength(int fd) {
    struct stat st {};
    return fstat(fd, &st) == 0 ? static_cast<long>(st.st_size) : -1L;
}

int _commit(int fd) {
    return fsync(fd);
}
