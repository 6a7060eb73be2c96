// The C runtime's low-level file calls (<io.h> on Windows): a descriptor for
// a file handle, its close and length, and the flush of its data to the disk.
#pragma once

#include <stdint.h>

#ifndef _O_WRONLY
#define _O_WRONLY 0x0001
#endif
#ifndef _O_BINARY
#define _O_BINARY 0x8000
#endif

// A descriptor that owns the file of `os_handle`, which is no longer open as
// a handle afterwards: the descriptor (or a stream on it) closes the file.
// -1 with errno EBADF when the handle is not an open file's. The flags are
// ignored (no text mode here).
int _open_osfhandle(intptr_t os_handle, int flags);
int _close(int fd);
// The length of the descriptor's file in bytes (fstat); -1 with errno.
long _filelength(int fd);
// Writes the file's data through to the disk (fsync). 0 on success, else -1
// with errno (EINVAL for what can't be synced, such as a pipe).
int _commit(int fd);
