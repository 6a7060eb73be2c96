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

struct WriterThread {
    Mp3Writer* writer; // owned: the thread closes it as it ends
    int32_t channels;
    int32_t sample_rate;

    // The ring: capacity frames of interleaved values. Frame f lives in
    // slot f % capacity. The counters count frames in 64 bits, which no
    // recording wraps: a 32-bit count wrapped after 24.9 h at 48 kHz, and
    // 2^32 is no multiple of the capacity, so the frames after the wrap
    // went to other slots than their numbers said.
    std::atomic<float>* ring;
    uint32_t capacity;
    // Frames the capture thread has begun to store, and frames it has
    // finished storing; only the capture thread writes them. Between the
    // two, slots are being overwritten, which the writer thread checks
    // after each copy.
    std::atomic<uint64_t> claimed{0};
    std::atomic<uint64_t> stored{0};

    // Frames the writer thread has taken from the ring; only it writes
    // this, others may read it to follow its progress.
    std::atomic<uint64_t> taken{0};
    // The writer thread's own: its copy of the frames it took, and the
    // frames encoded since the last flush.
    float* chunk;
    int32_t unflushed = 0;

    HANDLE thread;
    HANDLE wake;                  // set to make the thread look at once
    std::atomic<int32_t> stop{0}; // set by finish: take what is left, then end

    HWND window;                          // told of the first failed write
    UINT failed_message;                  // posted there (both parameters 0)
    std::atomic<int32_t> write_failed{0}; // a write or a flush failed
    bool failure_posted = false;          // the writer thread's own
    std::atomic<uint64_t> dropped{0};     // frames lost to an overrun ring

    // Set by writer_thread_end before it sets `stop`: whom the thread tells
    // that the file is complete, once it has closed it.
    HWND finished_window = nullptr;
    UINT finished_message = 0;
    int32_t result = 0; // the close's outcome; read once the thread has ended
};

// Starts a writer thread for `writer` (which it owns from now on, also when
// the start fails: it is closed then). The first failed write of the file
// posts `failed_message` to `window` (a post the queue refuses is made again
// at the thread's next wake, until it is taken). Null when memory or the thread can't
// be had. The frames are numbered from `first_frame` (tests start near a
// counter's limit).
WriterThread* writer_thread_start(Mp3Writer* writer, HWND window, UINT failed_message,
                                  uint64_t first_frame = 0);

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
