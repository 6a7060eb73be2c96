// The writer thread's context, for writer_thread.cpp and for the tests that
// look inside it (its counters) or hold its writer to stall the disk; the
// program sees WriterThread as opaque (writer_thread.h).
#pragma once

#include "spsc_ring.h"
#include "writer_thread.h"

struct WriterThread {
    Mp3Writer* writer; // owned: the thread closes it as it ends
    int32_t channels;
    int32_t sample_rate;

    // The ring: frames.capacity() frames of interleaved values, frame f in
    // slot frames.slot(f). The capture thread claims a delivery's frames
    // before it overwrites their slots, and the writer thread checks its
    // copies against the claim. The counts count frames in 64 bits, which
    // no recording wraps: a 32-bit count wrapped after 24.9 h at 48 kHz,
    // and 2^32 is no multiple of the capacity, so the frames after the wrap
    // went to other slots than their numbers said.
    std::atomic<float>* ring;
    SpscRing<RingFull::overwrite_oldest, uint64_t> frames;

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

    // Set by writer_thread_end before it sets `stop`: whom the thread tells
    // that the file is complete, once it has closed it.
    HWND finished_window = nullptr;
    UINT finished_message = 0;
    int32_t result = 0; // the close's outcome; read once the thread has ended
};

// As writer_thread_start, with the frames numbered from `first_frame`, so
// that a test can start near a counter's limit.
WriterThread* writer_thread_start_at(Mp3Writer* writer, HWND window, UINT failed_message,
                                     uint64_t first_frame);
