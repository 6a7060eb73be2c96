// The file a recording goes to: named after the local time it starts at,
// month-day-hour-minute-second, in the output folder; never one that exists.
#pragma once

#include <windows.h>

#include <stdint.h>
#include <stdio.h>

// WCHARs of a recording's path, terminator included.
constexpr int32_t RECORDING_PATH_UNITS = 1024;

// Makes `path` a new, empty file "MM-DD-hh-mm-ss.mp3" in `folder` for a
// recording started at `start`; when that name is taken, the first free one
// of "MM-DD-hh-mm-ss-2.mp3", "-3.mp3" and so on. The file is created
// exclusively and never through a symbolic link, so nothing can take the
// name between the choice and the recording. A path longer than Windows
// takes in its plain form (MAX_PATH) is made, and comes back, in its
// extended one ("\\?\C:\...", "\\?\UNC\server\..."). 0, or -1 when the
// folder can't take a new file (it is empty, missing or read-only, or the
// path is too long), with the last error saying why: too long, for
// RECORDING_PATH_UNITS or for the file system, is ERROR_FILENAME_EXCED_RANGE.
//
// With `file`, the new file comes back open for writing, as a stream the
// caller owns: the recording is written to the very file that was created,
// whatever is done to its name meanwhile. Without, it is closed.
int32_t ReserveRecordingFile(WCHAR (&path)[RECORDING_PATH_UNITS], const WCHAR* folder,
                             const SYSTEMTIME& start, FILE** file = nullptr);
