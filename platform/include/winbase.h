// Kernel subset: critical sections, sleeping, thread ids, last error.
#pragma once

#include <stdio.h>

#include "windef.h"

#define INFINITE 0xFFFFFFFFu
#define STILL_ACTIVE 259u

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_FOUND 1168u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_RESOURCE_NAME_NOT_FOUND 1814u
#define ERROR_RESOURCE_TYPE_NOT_FOUND 1813u
#define ERROR_INVALID_MENU_HANDLE 1401u
#define ERROR_INVALID_ICON_HANDLE 1414u
#define ERROR_WINDOW_OF_OTHER_THREAD 1408u
#define ERROR_INVALID_DATA 13u
#define ERROR_BUSY 170u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_INVALID_WINDOW_HANDLE 1400u
#define ERROR_CANNOT_FIND_WND_CLASS 1407u
#define ERROR_INVALID_THREAD_ID 1444u
#define ERROR_NOT_ENOUGH_QUOTA 1816u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_GEN_FAILURE 31u
#define ERROR_FILE_EXISTS 80u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_DISK_FULL 112u
#define ERROR_INVALID_NAME 123u
#define ERROR_DIRECTORY 267u
#define ERROR_FILENAME_EXCED_RANGE 206u

// Recursive like Windows' critical section: the owning thread may enter again.
// The storage holds a POSIX mutex; it is opaque here so that nothing above
// platform/ sees POSIX declarations.
typedef struct _CRITICAL_SECTION {
    union {
        void* align;
        unsigned char bytes[64];
    } opaque;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);

typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;
typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID param);

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64u

// Events (manual or auto-reset) and threads are handles; CloseHandle closes
// either. A thread's handle is signalled when the thread has ended.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manual_reset, BOOL initial_state,
                    LPCWSTR name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack_size,
                    LPTHREAD_START_ROUTINE start, LPVOID param, DWORD creation_flags,
                    LPDWORD thread_id);
BOOL GetExitCodeThread(HANDLE thread, LPDWORD exit_code);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL wait_all, DWORD milliseconds);
BOOL CloseHandle(HANDLE handle);

void Sleep(DWORD milliseconds);
DWORD GetCurrentThreadId(void);
// Ends the process at once: its other threads stop where they are, and the
// C runtime's buffered files are not flushed (on Windows only exit() does).
[[noreturn]] void ExitProcess(UINT exit_code);
DWORD GetLastError(void);
void SetLastError(DWORD error);

// The program's own module: a fixed non-null handle for NULL, as on Windows;
// any other name is not found.
HMODULE GetModuleHandleW(LPCWSTR module_name);
int lstrlenW(LPCWSTR text);

// Files: only exclusive creation (CREATE_NEW), to reserve a name, and
// deletion. The handle is closed with CloseHandle.
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define CREATE_NEW 1u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
HANDLE CreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES attributes,
                   DWORD disposition, DWORD flags, HANDLE template_file);
BOOL DeleteFileW(LPCWSTR path);

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;
void GetLocalTime(LPSYSTEMTIME time_out);

// The C runtime's wide-path fopen (declared by <stdio.h> on Windows). The
// path and mode are converted to UTF-8 for the file system.
FILE* _wfopen(const WCHAR* path, const WCHAR* mode);
// A stream on a descriptor (<stdio.h> on Windows); closing it closes the
// descriptor.
FILE* _fdopen(int fd, const char* mode);
// The descriptor under a stream (<stdio.h> on Windows).
int _fileno(FILE* stream);
// A stream's position in 64 bits, and a seek to one (<stdio.h> on Windows,
// where ftell's long has 32 bits even for a file past 2 GiB).
long long _ftelli64(FILE* stream);
int _fseeki64(FILE* stream, long long offset, int origin);
