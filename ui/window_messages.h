// The main window's private messages: everything the other threads tell it.
// The capture, the meter, the writer threads and the device watcher are each
// handed their message when they are set up, so this is the one list.
#pragma once

#include <windows.h>

// A meter block closed and no earlier one still waits in the queue (both
// parameters 0): the window takes every pending peak from the sample sink.
constexpr UINT WM_LEVEL_UPDATE = WM_USER + 200;

// The first failed write of the running recording (both parameters 0): the
// window ends the recording and says so, rather than letting it go on
// silently losing sound. A refused post is made again at the writer
// thread's next wake.
constexpr UINT WM_RECORD_WRITE_FAILED = WM_USER + 201;

// The capture stream died (wParam: the HRESULT): its device or the audio
// service went away.
constexpr UINT WM_CAPTURE_FAILED = WM_USER + 202;

// The system's audio devices or its default devices changed (both 0).
constexpr UINT WM_DEVICES_CHANGED = WM_USER + 203;

// A recording's writer thread has completed its file (lParam: the
// WriterThread, whose outcome writer_thread_finish then gives without
// waiting). A stalled disk may hold it up for seconds, while the window goes
// on and a new recording may run.
constexpr UINT WM_RECORD_FINISHED = WM_USER + 204;

// The capture being opened beside the running one (a new default device)
// has delivered its first packet (both 0): it can take over.
constexpr UINT WM_CAPTURE_ARRIVED = WM_USER + 205;
