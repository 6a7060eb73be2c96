#include "sample_sink.h"

#include <algorithm>
#include <thread>

namespace {

// A window that is gone makes the post fail harmlessly. No window yet means
// no post: a null handle would post to this thread's own queue, which nobody
// reads.
bool post_to_window(RecorderState* state, UINT message) {
    HWND window = state->hwnd.load(std::memory_order_acquire);
    return window != nullptr && PostMessageW(window, message, 0, 0);
}

// The ring and the posted flag are sequentially consistent, so that the
// window's clearing of the flag and its look at the ring cannot both miss a
// block: either the window sees the block, or this exchange sees the flag
// clear and posts.
void publish_level(RecorderState* state, float peak) {
    LevelRing& ring = state->levels;
    const uint32_t at = ring.blocks.claim(1);
    ring.peaks[ring.blocks.slot(at)].store(peak, std::memory_order_release);
    ring.blocks.publish(at + 1);
    // A refused post (a full queue, a window gone) is tried again at the
    // next block instead of leaving the window without updates for good.
    if (state->level_posted.exchange(1) == 0 && !post_to_window(state, state->level_message)) {
        state->level_posted.store(0);
    }
}

} // namespace

void recorder_attach(RecorderState* state, HWND window, UINT level_message, UINT arrived_message) {
    state->level_message = level_message;
    state->arrived_message = arrived_message;
    // Published last: a capture thread that sees the window sees its messages.
    state->hwnd.store(window);
}

LevelMeter* level_meter_process(void) {
    static LevelMeter meter{0.0f, 0};
    return &meter;
}

void level_meter_feed(LevelMeter* meter, RecorderState* state, const float* values, int32_t count) {
    float peak = meter->running_peak;
    int32_t taken = meter->value_count;
    for (int32_t i = 0; i < count; ++i) {
        if (values[i] > peak) {
            peak = values[i];
        }
        if (++taken >= LEVEL_BLOCK_VALUES) {
            taken = 0;
            state->block_peak.store(peak, std::memory_order_relaxed);
            publish_level(state, peak);
            peak = 0.0f;
        }
    }
    meter->running_peak = peak;
    meter->value_count = taken;
}

int32_t on_samples(void* user, const float* samples, int32_t byte_count) {
    auto* state = static_cast<RecorderState*>(user);
    // Announced before anything is looked at: a window that clears the flag
    // (or takes this callback from a capture) and then finds no delivery in
    // progress knows none is still in the meter or the writer. One delivery
    // at a time: while a new capture takes over from the old one, both
    // threads may call in for a moment, and the meter and the writer's ring
    // take one caller only. The other waits for a copy, never for a window.
    for (int32_t idle = 0; !state->deliveries_in_progress.compare_exchange_weak(idle, 1);
         idle = 0) {
        std::this_thread::yield();
    }
    int32_t count = byte_count > 0 ? byte_count / 4 : 0;
    level_meter_feed(level_meter_process(), state, samples, count);

    if (state->recording.load() == 1) {
        // A copy, never an encode or a file write: a stalled disk must not
        // hold up the capture.
        writer_thread_push(state->writer.load(), samples, count);
    }
    state->deliveries_in_progress.fetch_sub(1);
    return 0;
}

int32_t on_samples_arriving(void* user, const float* /*samples*/, int32_t byte_count) {
    auto* state = static_cast<RecorderState*>(user);
    // A refused post is made again at the next delivery.
    if (byte_count > 0 && state->arrived.exchange(1) == 0 &&
        !post_to_window(state, state->arrived_message)) {
        state->arrived.store(0);
    }
    return 0;
}

int32_t recorder_take_levels(RecorderState* state, float* peaks, int32_t capacity) {
    LevelRing& ring = state->levels;
    state->level_posted.store(0);
    const auto waiting = ring.blocks.waiting();
    // The slot the writer fills next is never read: the next block's claim,
    // likely while we copy, would drop that copy at once.
    const uint32_t room =
        std::min(LEVEL_RING_BLOCKS - 1, static_cast<uint32_t>(std::max(capacity, int32_t{0})));
    uint32_t pending = std::min(waiting.count, room); // the oldest are gone or don't fit
    const uint32_t written = waiting.first + waiting.count;
    const uint32_t first = written - pending;
    for (uint32_t i = 0; i < pending; ++i) {
        peaks[i] = ring.peaks[ring.blocks.slot(first + i)].load(std::memory_order_acquire);
    }
    // Blocks the writer began meanwhile may have reused the oldest slots we
    // read: those copies are dropped.
    const uint32_t unsafe = ring.blocks.overwritten(first, pending);
    if (unsafe > 0) {
        std::copy(peaks + unsafe, peaks + pending, peaks);
        pending -= unsafe;
    }
    ring.blocks.take(written);
    return static_cast<int32_t>(pending);
}

void recorder_wait_for_deliveries(RecorderState* state) {
    while (state->deliveries_in_progress.load() != 0) {
        Sleep(1);
    }
}
