// What the user area's files share: the handle table of user_queue.cpp and the
// window objects of user_window.cpp.
#pragma once

#include <windows.h>

// A new handle for `object` (null for a message-only window), owned by the
// calling thread.
HWND queue_add_window(void* object);
// The object of a window of the calling thread; null for other threads'
// windows, message-only windows and handles that are not windows.
void* queue_window_object(HWND hwnd);
// Forgets the handle and drops its queued messages; false when it is not a
// window of the calling thread (the last error says why).
bool queue_remove_window(HWND hwnd);
// From now on the calling thread's waits also serve the window toolkit.
void queue_serve_toolkit();
// Posts without the quota, for input the toolkit reports.
void queue_post_input(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
