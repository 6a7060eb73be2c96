// The sample sink and its level meter, with the window's messages read back
// through the real thread message queue.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "mp3_decode.h"
#include "sample_sink.h"
#include "signals.h"
#include "window_messages.h"
#include "temp_dir.h"

namespace {

class SampleSink : public testing::Test {
  protected:
    void SetUp() override {
        *level_meter_process() = LevelMeter{0.0f, 0};
        window_ = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr,
                                  nullptr);
        ASSERT_NE(window_, nullptr);
        recorder_attach(&state_, window_, WM_LEVEL_UPDATE, 0);
    }
    void TearDown() override {
        if (IsWindow(window_)) {
            DestroyWindow(window_);
        }
    }

    void deliver(const std::vector<float>& values, int32_t extra_bytes = 0) {
        int32_t bytes = static_cast<int32_t>(values.size() * sizeof(float)) + extra_bytes;
        EXPECT_EQ(on_samples(&state_, values.data(), bytes), 0);
    }

    // Handles every WM_LEVEL_UPDATE waiting for the window as the window
    // does, taking the pending peaks into taken_; each must carry nothing in
    // its parameters, and only one may ever wait. Returns the blocks taken.
    int take_updates(bool alone = true) {
        int blocks = 0;
        int messages = 0;
        MSG msg;
        while (PeekMessageW(&msg, window_, 0, 0, PM_REMOVE)) {
            EXPECT_EQ(msg.message, WM_LEVEL_UPDATE);
            EXPECT_EQ(msg.wParam, 0u);
            EXPECT_EQ(msg.lParam, 0);
            float peaks[LEVEL_RING_BLOCKS];
            const int32_t n = recorder_take_levels(&state_, peaks, LEVEL_RING_BLOCKS);
            taken_.insert(taken_.end(), peaks, peaks + n);
            blocks += n;
            ++messages;
        }
        // With the capture thread running, a new message may come while
        // these are handled.
        if (alone) {
            EXPECT_LE(messages, 1) << "level messages pile up in the queue";
        }
        return blocks;
    }

    // One block of `peak` per value of `peaks`.
    void deliver_blocks(const std::vector<float>& peaks) {
        std::vector<float> values;
        for (float peak : peaks) {
            values.insert(values.end(), LEVEL_BLOCK_VALUES, peak);
        }
        deliver(values);
    }

    std::vector<float> taken_;
    HWND window_ = nullptr;
    RecorderState state_;
};

TEST_F(SampleSink, BlockClosesAtItsValue1025) {
    EXPECT_EQ(WM_LEVEL_UPDATE, 1224u);

    deliver(std::vector<float>(1025, 0.5f));
    EXPECT_EQ(take_updates(), 1);
    EXPECT_EQ(state_.block_peak.load(), 0.5f);
    EXPECT_EQ(level_meter_process()->value_count, 0);
    EXPECT_EQ(level_meter_process()->running_peak, 0.0f);

    // 1024 values leave the block open; the next delivery's first value
    // closes it, and its peak counts.
    std::vector<float> almost(1024, 0.25f);
    almost[1000] = 0.75f;
    deliver(almost);
    EXPECT_EQ(take_updates(), 0);
    EXPECT_EQ(state_.block_peak.load(), 0.5f); // the last published value stays
    deliver({0.9f, 0.1f});
    EXPECT_EQ(take_updates(), 1);
    EXPECT_EQ(state_.block_peak.load(), 0.9f);
    EXPECT_EQ(level_meter_process()->value_count, 1);
    EXPECT_EQ(level_meter_process()->running_peak, 0.1f);
}

TEST_F(SampleSink, PeaksAreSignedAndPerBlock) {
    state_.block_peak = 0.9f;
    deliver(std::vector<float>(1025, -0.8f));
    EXPECT_EQ(take_updates(), 1);
    EXPECT_EQ(state_.block_peak.load(), 0.0f);

    // Several blocks in one delivery: one message for them all, each
    // block's peak in the ring, and the field holds the last one.
    std::vector<float> three(3 * 1025, 0.0f);
    three[10] = 0.3f;
    three[1025 + 500] = 0.6f;
    three[2 * 1025 + 1024] = 0.2f;
    deliver(three);
    taken_.clear();
    EXPECT_EQ(take_updates(), 3);
    EXPECT_EQ(taken_, (std::vector<float>{0.3f, 0.6f, 0.2f}));
    EXPECT_EQ(state_.block_peak.load(), 0.2f);
}

// However long the window takes, one level message waits at most; what it
// has not taken stays in the ring, oldest first, and the next block after a
// take posts again.
TEST_F(SampleSink, OneLevelMessageWaitsWhateverTheWindowsPace) {
    for (int round = 0; round < 3; ++round) {
        std::vector<float> peaks;
        for (int i = 0; i < 40; ++i) {
            peaks.push_back(0.01f * static_cast<float>(i + 1) + 0.1f * static_cast<float>(round));
        }
        deliver_blocks(peaks);
        taken_.clear();
        EXPECT_EQ(take_updates(), 40);
        EXPECT_EQ(taken_, peaks);
    }
    // Nothing pending: a stray take gives nothing and changes nothing.
    float none[4];
    EXPECT_EQ(recorder_take_levels(&state_, none, 4), 0);
}

// A window held up longer than the ring holds loses the oldest blocks and
// gets the newest, in order; the queue never grows for them.
TEST_F(SampleSink, AWindowFarBehindLosesTheOldestBlocks) {
    std::vector<float> peaks;
    const int total = static_cast<int>(LEVEL_RING_BLOCKS) + 37;
    for (int i = 0; i < total; ++i) {
        peaks.push_back(static_cast<float>(i));
    }
    deliver_blocks(peaks);
    taken_.clear();
    const int kept = static_cast<int>(LEVEL_RING_BLOCKS) - 1;
    EXPECT_EQ(take_updates(), kept);
    EXPECT_EQ(taken_, std::vector<float>(peaks.end() - kept, peaks.end()));

    // Less room than is pending: the newest that fit.
    deliver_blocks({1.0f, 2.0f, 3.0f, 4.0f, 5.0f});
    float two[2];
    EXPECT_EQ(recorder_take_levels(&state_, two, 2), 2);
    EXPECT_EQ(two[0], 4.0f);
    EXPECT_EQ(two[1], 5.0f);
}

// A refused post is not the last: the next block posts again, and the
// blocks in between are still there. Here the window is gone when the first
// block closes (a full queue refuses the same way; the main window's tests
// fill one, which Wine's queues never refuse).
TEST_F(SampleSink, ARefusedLevelPostIsMadeAgainAtTheNextBlock) {
    DestroyWindow(window_);
    deliver_blocks({0.25f});
    EXPECT_EQ(state_.level_posted.load(), 0) << "a refused post must not count as waiting";
    window_ =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window_, nullptr);
    recorder_attach(&state_, window_, WM_LEVEL_UPDATE, 0);
    deliver_blocks({0.75f});
    taken_.clear();
    EXPECT_EQ(take_updates(), 2);
    EXPECT_EQ(taken_, (std::vector<float>{0.25f, 0.75f}));
}

// The capture thread publishing while the window takes: every block taken
// comes once, in order, and nothing is taken that was not published.
TEST_F(SampleSink, CaptureAndWindowThreadsShareTheRing) {
    constexpr int kBlocks = 20000;
    std::atomic<bool> done{false};
    std::thread capture([&] {
        std::vector<float> block(LEVEL_BLOCK_VALUES);
        for (int i = 1; i <= kBlocks; ++i) {
            std::fill(block.begin(), block.end(), static_cast<float>(i));
            on_samples(&state_, block.data(), static_cast<int32_t>(block.size() * 4));
        }
        done = true;
    });
    taken_.clear();
    while (!done.load()) {
        take_updates(false);
    }
    capture.join();
    take_updates();
    ASSERT_FALSE(taken_.empty());
    EXPECT_EQ(taken_.back(), static_cast<float>(kBlocks)) << "the last block is never lost";
    for (size_t i = 1; i < taken_.size(); ++i) {
        ASSERT_GT(taken_[i], taken_[i - 1]) << "at " << i;
    }
}

TEST_F(SampleSink, TrailingBytesAndEmptyDeliveriesCountForNothing) {
    deliver(std::vector<float>(1024, 0.5f), 3); // three stray bytes after the values
    EXPECT_EQ(take_updates(), 0);
    EXPECT_EQ(level_meter_process()->value_count, 1024);

    EXPECT_EQ(on_samples(&state_, nullptr, 0), 0);
    EXPECT_EQ(on_samples(&state_, nullptr, 3), 0);
    EXPECT_EQ(on_samples(&state_, nullptr, -8), 0);
    EXPECT_EQ(take_updates(), 0);
    EXPECT_EQ(level_meter_process()->value_count, 1024);
    EXPECT_EQ(level_meter_process()->running_peak, 0.5f);
}

// The meter runs without a window to tell: the post fails and nothing else.
TEST_F(SampleSink, WindowGoneMeansNoPostsButTheMeterRuns) {
    DestroyWindow(window_);
    deliver(std::vector<float>(2050, 0.4f));
    EXPECT_EQ(state_.block_peak.load(), 0.4f);
    EXPECT_EQ(level_meter_process()->value_count, 0);
}

// A recording made through the sink holds what was delivered; while the flag
// is clear a writer left in the state is never touched.
TEST_F(SampleSink, WritesOnlyWhileRecording) {
    TempDir dir;
    WriterThread* untouched = writer_thread_start(
        mp3_writer_open(dir.wfile("untouched.mp3").c_str(), 48000, 2, 192000), nullptr, 0);
    WriterThread* reference = writer_thread_start(
        mp3_writer_open(dir.wfile("reference.mp3").c_str(), 48000, 2, 192000), nullptr, 0);
    ASSERT_NE(untouched, nullptr);
    ASSERT_NE(reference, nullptr);
    state_.channels = 2;
    state_.writer = untouched;
    std::vector<float> tone = make_tone(48000, 2, 48000, 1000.0, {0.5f, 0.5f});
    for (size_t at = 0; at < tone.size(); at += 960) {
        on_samples(&state_, tone.data() + at, 960 * sizeof(float));
    }
    take_updates();
    ASSERT_EQ(writer_thread_finish(untouched), 0);
    ASSERT_EQ(writer_thread_finish(reference), 0);
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "untouched.mp3"),
              std::filesystem::file_size(dir.path() / "reference.mp3"));

    // Mono: frames are values / channels, read from the state.
    WriterThread* writer = writer_thread_start(
        mp3_writer_open(dir.wfile("mono.mp3").c_str(), 16000, 1, 128000), nullptr, 0);
    ASSERT_NE(writer, nullptr);
    state_.channels = 1;
    state_.writer = writer;
    state_.recording = 1;
    std::vector<float> mono = make_tone(3 * 16000, 1, 16000, 1000.0, {0.5f});
    const int32_t open_block = level_meter_process()->value_count;
    for (size_t at = 0; at < mono.size(); at += 160) {
        on_samples(&state_, mono.data() + at, 160 * sizeof(float));
    }
    state_.recording = 0;
    recorder_wait_for_deliveries(&state_);
    ASSERT_EQ(writer_thread_finish(writer), 0);
    // 46 blocks: the ring holds them all.
    EXPECT_EQ(take_updates(), static_cast<int>((open_block + mono.size()) / 1025));

    DecodedMp3 mp3 = decode_mp3(dir.file("mono.mp3"));
    ASSERT_TRUE(mp3.ok) << mp3.error;
    EXPECT_EQ(mp3.channels, 1);
    EXPECT_EQ(mp3.rate, 16000);
    EXPECT_NEAR(static_cast<double>(mp3.frames()), 3 * 16000 + 576 + 576, 576 * 2);
    EXPECT_NEAR(zero_crossing_frequency(middle(mp3.samples, 2048), 16000), 1000.0, 5.0);
}

// The window's stop order (clear the flag, wait for deliveries, close) holds
// against a capture thread that never pauses: every recording is closed
// whole and decodable, with nothing written after its close.
TEST_F(SampleSink, StopNeverRacesTheCaptureThread) {
    TempDir dir;
    state_.channels = 2;
    std::atomic<bool> capturing{true};
    std::thread capture([&] {
        std::vector<float> packet = make_tone(480, 2, 48000, 1000.0, {0.5f, 0.5f});
        // Faster than real time, but not so fast that the ring overruns.
        while (capturing) {
            on_samples(&state_, packet.data(), static_cast<int32_t>(packet.size() * 4));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int i = 0; i < 20; ++i) {
        std::string name = "take" + std::to_string(i) + ".mp3";
        WriterThread* writer = writer_thread_start(
            mp3_writer_open(dir.wfile(name).c_str(), 48000, 2, 128000), nullptr, 0);
        ASSERT_NE(writer, nullptr);
        state_.writer = writer;
        state_.recording = 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        state_.recording = 0;
        recorder_wait_for_deliveries(&state_);
        ASSERT_EQ(writer_thread_finish(writer), 0);
        // Leave the stale pointer in place, as the window may.
    }
    capturing = false;
    capture.join();
    for (int i = 0; i < 20; ++i) {
        DecodedMp3 mp3 = decode_mp3(dir.file("take" + std::to_string(i) + ".mp3"));
        EXPECT_TRUE(mp3.ok) << mp3.error;
    }
}

// The wait itself: a delivery that is handing sound over (here held there,
// as a capture thread that lost the processor would be) keeps the stop
// waiting however long it takes, and its end lets the stop go on.
TEST_F(SampleSink, TheStopWaitsForADeliveryHandingOverSound) {
    state_.deliveries_in_progress.fetch_add(1);
    std::atomic<bool> returned{false};
    std::thread stop([&] {
        recorder_wait_for_deliveries(&state_);
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(returned.load()) << "the stop went on while a delivery was in its hand-over";
    state_.deliveries_in_progress.fetch_sub(1);
    stop.join();
    EXPECT_TRUE(returned.load());
}

} // namespace
