// The sample sink: where captured sound enters the recording core. The
// capture thread calls on_samples once per packet; it feeds the level meter,
// which hands the peak of every finished block to the window, and then, while
// a recording runs, the writer thread, which encodes and writes the file.
// The recording session hands the sink the window and the messages it posts
// there (recorder_attach).
#pragma once

#include <windows.h>

#include <atomic>
#include <stdint.h>

#include "spsc_ring.h"
#include "writer_thread.h"

// Number of values in a meter block: a block closes at its 1025th value.
constexpr int32_t LEVEL_BLOCK_VALUES = 1025;

// Slots for the peaks the window has not drawn yet; one is always the
// writer's, so 255 blocks wait at most: 2.7 s at 48 kHz stereo and still more
// than a second at 96 kHz. A window thread held up longer than that loses
// the oldest ones, and its trace jumps.
constexpr uint32_t LEVEL_RING_BLOCKS = 256;

// The closed blocks' peaks, from the capture thread (the only writer) to the
// window thread (the only reader), without a lock. The writer never waits for
// the reader: it overwrites the oldest slot when the ring is full, and the
// reader drops what may have been overwritten. The block count is published
// sequentially consistent, as the level message's flag is: see
// publish_level. It counts blocks in 32 bits and wraps, which the capacity
// divides.
struct LevelRing {
    std::atomic<float> peaks[LEVEL_RING_BLOCKS] = {};
    SpscRing<RingFull::overwrite_oldest, uint32_t, std::memory_order_seq_cst> blocks{
        LEVEL_RING_BLOCKS};
};
static_assert((uint64_t{1} << 32) % LEVEL_RING_BLOCKS == 0);

// What the recording session shares with the capture thread. The session
// embeds one and passes its address to the capture as the callback's user
// pointer. Every field is shared between the window thread and the capture
// thread, hence atomic.
struct RecorderState {
    // Where the meter posts level_message and the arriving capture
    // arrived_message; the messages are set before the window is.
    std::atomic<HWND> hwnd{nullptr};
    UINT level_message = 0;
    UINT arrived_message = 0;
    std::atomic<float> block_peak{0.0f}; // peak of the last finished block
    LevelRing levels;                    // peaks the window has not drawn yet
    // 1 from a level message's post until the window takes the levels: one
    // level message at most waits in the queue, however slow the window is.
    std::atomic<int32_t> level_posted{0};
    std::atomic<int32_t> recording{0};          // 1 while a recording runs
    std::atomic<int32_t> channels{2};           // channels of the open capture
    std::atomic<WriterThread*> writer{nullptr}; // the recording's writer thread
    // Deliveries inside on_samples (the meter, the look at the recording
    // flag, the hand-over to the writer); see recorder_wait_for_deliveries().
    std::atomic<int32_t> deliveries_in_progress{0};
    // 1 once the arriving capture has delivered (and said so); the window
    // clears it before it opens one.
    std::atomic<int32_t> arrived{0};
};

// The level meter's state: the block being measured. One process-wide meter
// serves every capture, so a device change does not restart a block.
struct LevelMeter {
    float running_peak;  // largest value of the current block, never below 0
    int32_t value_count; // values taken into the current block
};

// The process-wide meter that on_samples feeds. It is only touched on the
// capture thread (one at a time).
LevelMeter* level_meter_process(void);

// Takes `count` interleaved values into the meter. Comparisons are signed, so
// negative values never raise the peak. Each closed block's peak is stored in
// state->block_peak and in state->levels, and announced with the level
// message unless an announcement already waits.
void level_meter_feed(LevelMeter* meter, RecorderState* state, const float* values, int32_t count);

// Gives the sink its window and the messages it posts there: `level_message`
// when a meter block closes (both parameters 0; the window then calls
// recorder_take_levels), `arrived_message` at the first delivery of a
// capture opened beside the running one (on_samples_arriving).
void recorder_attach(RecorderState* state, HWND window, UINT level_message, UINT arrived_message);

// The window's side, on the level message: takes the pending peaks, oldest
// first, into `peaks` (room for `capacity`; with less room than is pending,
// the oldest are dropped) and returns how many. From this call on, the next
// closed block posts a new level message.
int32_t recorder_take_levels(RecorderState* state, float* peaks, int32_t capacity);

// The capture's SampleCallback. `user` is the window's RecorderState;
// byte_count is the packet's length in bytes (4 per value). Returns 0.
int32_t on_samples(void* user, const float* samples, int32_t byte_count);

// The callback of a capture opened beside the running one (a new default
// device) until it takes over: its sound goes nowhere, and its first
// delivery posts the arrived message. Returns 0.
int32_t on_samples_arriving(void* user, const float* samples, int32_t byte_count);

// Waits until no delivery is in on_samples any more. The window calls it
// after clearing the recording flag and before closing the writer, so that a
// delivery that saw the flag still set can never reach a finished writer
// thread, however late the capture thread runs.
void recorder_wait_for_deliveries(RecorderState* state);
