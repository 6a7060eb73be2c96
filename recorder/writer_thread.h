// The writer thread: encodes a running recording and writes it to its file,
// away from the capture thread.
//
// The capture thread only copies each delivery into a ring that holds
// WRITER_BUFFER_SECONDS of sound and never waits; the writer thread takes
// the sound from there a few times a second, encodes it and appends it to
// the file. A disk that stalls (a USB stick, a network folder, a disk
// spinning up) holds up only the writer thread: the ring carries the sound
// over a stall of several seconds. A longer stall overruns the ring, and
// the oldest sound in it is dropped; the recording goes on, and its finish
// says that it is incomplete.
#pragma once

#include <windows.h>

#include <atomic>
#include <stdint.h>

#include "mp3_writer.h"

// Seconds of sound the ring holds: a stall of 5 s loses nothing, with room
// for what the writer has in hand when the stall begins.
constexpr int32_t WRITER_BUFFER_SECONDS = 8;
// How often the writer thread looks for sound, and the longest time sound
// waits in the ring while the disk keeps up.
constexpr DWORD WRITER_WAKE_MS = 200;
// What is written reaches the disk at least this often (in seconds of
// sound), so that a kill or a power cut loses no more than that.
constexpr int32_t WRITER_FLUSH_SECONDS = 2;

// Opaque; its fields are writer_thread_internal.h's.
struct WriterThread;

// Starts a writer thread for `writer` (which it owns from now on, also when
// the start fails: it is closed then). The first failed write of the file
// posts `failed_message` to `window` (a post the queue refuses is made again
// at the thread's next wake, until it is taken). Null when memory or the
// thread can't be had.
WriterThread* writer_thread_start(Mp3Writer* writer, HWND window, UINT failed_message);

// Whether a write or a flush of the file failed (the window was told once).
bool writer_thread_failed(const WriterThread* wt);

// The capture thread's side: copies `value_count` interleaved values (whole
// frames; a trailing part frame is ignored) into the ring and returns. It
// never waits: when the writer thread is a whole ring behind, the oldest
// sound is overwritten.
void writer_thread_push(WriterThread* wt, const float* samples, int32_t value_count);

// Ends the recording without waiting for it: the thread encodes and writes
// what is left in the ring, closes the writer (the file is complete) and
// then posts `finished_message` to `window` (wParam 0, lParam the
// WriterThread), however long a stalled disk holds it up. The recording
// session then collects the outcome with writer_thread_finish, which no
// longer waits.
// Call it when no push can come any more.
void writer_thread_end(WriterThread* wt, HWND window, UINT finished_message);

// Waits up to `wait_ms` (INFINITE: without a limit) for the thread to have
// completed the file after writer_thread_end; true once it has, and
// writer_thread_finish then no longer waits. A session that ends gives its
// files only the time it has: a stalled disk keeps the rest.
bool writer_thread_done(const WriterThread* wt, DWORD wait_ms);

// Ends the recording (unless writer_thread_end did), waits until the file is
// complete, and frees everything. Returns 0, or -1 when the file is not the
// whole recording: a write failed, the close failed, or sound was dropped
// because the disk stalled too long; or MP3_WRITER_NOTHING_WRITTEN when the
// writes failed from the start and the file is empty.
int32_t writer_thread_finish(WriterThread* wt);
