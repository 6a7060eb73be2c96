#include "writer_thread_internal.h"

#include <stdlib.h>

#include <algorithm>
#include <new>

namespace {

// Frames the writer thread copies out of the ring and encodes at a time.
constexpr uint32_t CHUNK_FRAMES = MP3_CHUNK_FRAMES;

// The window learns of a failed write only from this message, so a post
// refused by a full queue is made again at every wake until it is taken.
void tell_write_failure(WriterThread* wt) {
    if (wt->write_failed.load() != 0 && !wt->failure_posted && wt->window != nullptr) {
        wt->failure_posted = PostMessageW(wt->window, wt->failed_message, 0, 0) != FALSE;
    }
}

void note_write_failure(WriterThread* wt) {
    wt->write_failed.store(1);
    tell_write_failure(wt);
}

// Copies the oldest frames waiting in the ring into the chunk and returns
// how many are usable, starting at `*first`. Frames the capture thread may
// have overwritten meanwhile are counted as dropped and left out: the copy
// is checked against the capture thread's claim after it is made.
uint32_t take_chunk(WriterThread* wt, uint32_t* first) {
    const auto waiting = wt->frames.waiting(); // a whole ring at most: the rest is gone
    const uint64_t taken = waiting.first;
    const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(waiting.count, CHUNK_FRAMES));
    const uint32_t channels = static_cast<uint32_t>(wt->channels);
    for (uint32_t f = 0; f < n; ++f) {
        const std::atomic<float>* slot = wt->ring + wt->frames.slot(taken + f) * channels;
        float* out = wt->chunk + f * channels;
        for (uint32_t c = 0; c < channels; ++c) {
            out[c] = slot[c].load(std::memory_order_acquire);
        }
    }
    const uint32_t unsafe = static_cast<uint32_t>(wt->frames.overwritten(taken, n));
    wt->frames.take(taken + n);
    *first = unsafe;
    return n - unsafe;
}

// Encodes and writes everything waiting in the ring.
void write_pending(WriterThread* wt) {
    for (;;) {
        uint32_t first = 0;
        const uint32_t frames = take_chunk(wt, &first);
        if (frames == 0 && first == 0) {
            return;
        }
        if (frames == 0) {
            continue;
        }
        // After a failed write the ring is only emptied: the window ends the
        // recording at once, and a file that went on after a hole would play
        // as if it were whole.
        if (wt->write_failed.load() != 0) {
            continue;
        }
        const float* values = wt->chunk + static_cast<size_t>(first) * wt->channels;
        if (mp3_writer_write(wt->writer, values, static_cast<int32_t>(frames)) != 0) {
            note_write_failure(wt);
            continue;
        }
        wt->unflushed += static_cast<int32_t>(frames);
        if (wt->unflushed >= WRITER_FLUSH_SECONDS * wt->sample_rate) {
            wt->unflushed = 0;
            if (mp3_writer_flush(wt->writer) != 0) {
                note_write_failure(wt);
            }
        }
    }
}

DWORD WINAPI writer_thread_proc(LPVOID param) {
    auto* wt = static_cast<WriterThread*>(param);
    for (;;) {
        WaitForSingleObject(wt->wake, WRITER_WAKE_MS);
        // The stop flag is read before the last look at the ring: whatever
        // was pushed before finish set it is written.
        const bool stopping = wt->stop.load() != 0;
        write_pending(wt);
        tell_write_failure(wt);
        if (stopping) {
            break;
        }
    }
    // The close is the thread's too: it writes the encoder's last frames and
    // the tag, which a stalled disk holds up as much as any write.
    int32_t result = mp3_writer_close(wt->writer);
    wt->writer = nullptr;
    if (result == 0 && (wt->write_failed.load() != 0 || wt->frames.dropped() != 0)) {
        result = -1;
    }
    wt->result = result;
    // A post refused by a full queue is made again: the window learns of
    // the finish only from this message.
    const HWND window = wt->finished_window;
    while (window != nullptr &&
           !PostMessageW(window, wt->finished_message, 0, reinterpret_cast<LPARAM>(wt)) &&
           IsWindow(window)) {
        Sleep(WRITER_WAKE_MS);
    }
    return 0;
}

// Frees what start made; copes with a part-made thread context.
void destroy(WriterThread* wt) {
    if (wt->wake != nullptr) {
        CloseHandle(wt->wake);
    }
    if (wt->thread != nullptr) {
        CloseHandle(wt->thread);
    }
    delete[] wt->ring;
    free(wt->chunk);
    delete wt;
}

} // namespace

WriterThread* writer_thread_start(Mp3Writer* writer, HWND window, UINT failed_message) {
    return writer_thread_start_at(writer, window, failed_message, 0);
}

bool writer_thread_failed(const WriterThread* wt) {
    return wt != nullptr && wt->write_failed.load() != 0;
}

WriterThread* writer_thread_start_at(Mp3Writer* writer, HWND window, UINT failed_message,
                                     uint64_t first_frame) {
    if (writer == nullptr) {
        return nullptr;
    }
    auto* wt = new (std::nothrow) WriterThread;
    if (wt == nullptr) {
        mp3_writer_close(writer);
        return nullptr;
    }
    wt->writer = writer;
    wt->channels = writer->channels;
    wt->sample_rate = writer->sample_rate;
    // Before the thread starts, which reads them.
    wt->frames.start(static_cast<uint64_t>(WRITER_BUFFER_SECONDS) * writer->sample_rate,
                     first_frame);
    const size_t values = static_cast<size_t>(wt->frames.capacity()) * wt->channels;
    wt->ring = new (std::nothrow) std::atomic<float>[values];
    wt->chunk = static_cast<float*>(malloc(sizeof(float) * CHUNK_FRAMES * wt->channels));
    wt->thread = nullptr;
    wt->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    wt->window = window;
    wt->failed_message = failed_message;
    if (wt->ring != nullptr && wt->chunk != nullptr && wt->wake != nullptr) {
        wt->thread = CreateThread(nullptr, 0, writer_thread_proc, wt, 0, nullptr);
    }
    if (wt->thread == nullptr) {
        mp3_writer_close(writer);
        destroy(wt);
        return nullptr;
    }
    return wt;
}

void writer_thread_push(WriterThread* wt, const float* samples, int32_t value_count) {
    if (wt == nullptr || samples == nullptr || value_count <= 0) {
        return;
    }
    const uint32_t channels = static_cast<uint32_t>(wt->channels);
    const uint32_t frames = static_cast<uint32_t>(value_count) / channels;
    // Claimed before the slots change (each store below releases it), so
    // that a writer thread that reads a slot being overwritten sees the claim
    // afterwards and drops its copy.
    const uint64_t at = wt->frames.claim(frames);
    for (uint32_t f = 0; f < frames; ++f) {
        // The slot is worked out from the frame's number each time, as the
        // writer thread does, so that both agree when the counter wraps.
        std::atomic<float>* out = wt->ring + wt->frames.slot(at + f) * channels;
        const float* in = samples + static_cast<size_t>(f) * channels;
        for (uint32_t c = 0; c < channels; ++c) {
            out[c].store(in[c], std::memory_order_release);
        }
    }
    wt->frames.publish(at + frames);
}

void writer_thread_end(WriterThread* wt, HWND window, UINT finished_message) {
    if (wt == nullptr || wt->stop.load() != 0) {
        return;
    }
    // Before the stop flag, which the thread reads before it looks at these.
    wt->finished_window = window;
    wt->finished_message = finished_message;
    wt->stop.store(1);
    SetEvent(wt->wake);
}

bool writer_thread_done(const WriterThread* wt, DWORD wait_ms) {
    return wt != nullptr && WaitForSingleObject(wt->thread, wait_ms) == WAIT_OBJECT_0;
}

int32_t writer_thread_finish(WriterThread* wt) {
    if (wt == nullptr) {
        return -1;
    }
    writer_thread_end(wt, nullptr, 0);
    WaitForSingleObject(wt->thread, INFINITE);
    // The thread has ended, and closed the file.
    const int32_t result = wt->result;
    destroy(wt);
    return result;
}
