#include "sample_sink.h"

namespace {

// A window that is gone makes the post fail harmlessly. No window yet means
// no post: a null handle would post to this thread's own queue, which nobody
// reads.
void post_to_window(RecorderState* state, UINT message) {
    HWND window = state->hwnd.load(std::memory_order_relaxed);
    if (window != nullptr) {
        PostMessageW(window, message, 0, 0);
    }
}

} // namespace

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
            // The post carries nothing; the queue orders the peak store
            // before the window's read.
            post_to_window(state, WM_LEVEL_UPDATE);
            peak = 0.0f;
        }
    }
    meter->running_peak = peak;
    meter->value_count = taken;
}

int32_t on_samples(void* user, const float* samples, int32_t byte_count) {
    auto* state = static_cast<RecorderState*>(user);
    int32_t count = byte_count > 0 ? byte_count / 4 : 0;
    level_meter_feed(level_meter_process(), state, samples, count);

    // Announce this delivery before looking at the flag: a window that clears
    // the flag and then finds no delivery in the writer knows none can come.
    state->deliveries_in_progress.fetch_add(1);
    if (state->recording.load() == 1) {
        int32_t channels = state->channels.load();
        if (channels > 0 && mp3_writer_write(state->writer.load(), samples, count / channels) < 0 &&
            state->write_failed.exchange(1) == 0) {
            post_to_window(state, WM_RECORD_WRITE_FAILED);
        }
    }
    state->deliveries_in_progress.fetch_sub(1);
    return 0;
}

void recorder_wait_for_deliveries(RecorderState* state) {
    while (state->deliveries_in_progress.load() != 0) {
        Sleep(1);
    }
}
