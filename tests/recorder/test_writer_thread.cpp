// The writer thread against a disk that stalls: the test holds the writer's
// lock, so the writer thread's next write waits as it would on a slow
// device, while the "capture" (this thread) goes on handing sound over.
#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "mp3_decode.h"
#include "signals.h"
#include "stalled_writer.h"
#include "temp_dir.h"
#include "writer_thread_internal.h"

namespace {

constexpr int32_t kRate = 48000;
constexpr int32_t kPacket = 480; // the engine's 10 ms

// Hands `signal` over in the engine's packets, as the capture thread does:
// at once, or in real time, a packet every 10 ms.
void push_all(WriterThread* wt, const std::vector<float>& signal, int32_t channels,
              bool real_time = false) {
    for (size_t at = 0; at < signal.size(); at += static_cast<size_t>(kPacket) * channels) {
        const size_t values = std::min(signal.size() - at, static_cast<size_t>(kPacket) * channels);
        writer_thread_push(wt, signal.data() + at, static_cast<int32_t>(values));
        if (real_time) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

std::vector<float> seconds_of_tone(double seconds, double frequency) {
    return make_tone(static_cast<int32_t>(seconds * kRate), 2, kRate, frequency, {0.5f, 0.5f});
}

// Sound handed over while the file is stalled (at once: as much as arrives
// during a stall of that length), then after it, in real time while the
// writer catches up; the file's size shows whether the stall held. Returns
// the writer thread's finish. The frames are numbered from `first_frame`.
int32_t record_through_stall(const TempDir& dir, const std::vector<float>& during,
                             const std::vector<float>& after, uint64_t first_frame = 0) {
    Mp3Writer* writer = mp3_writer_open(dir.wfile("stall.mp3").c_str(), kRate, 2, 192000);
    EXPECT_NE(writer, nullptr);
    WriterThread* wt = writer_thread_start_at(writer, nullptr, 0, first_frame);
    EXPECT_NE(wt, nullptr);
    if (wt == nullptr) {
        return -100;
    }
    {
        StalledWriter stall(writer);
        push_all(wt, during, 2);
        // Long enough for the writer thread to try, several times over.
        std::this_thread::sleep_for(std::chrono::milliseconds(4 * WRITER_WAKE_MS));
        EXPECT_EQ(std::filesystem::file_size(dir.path() / "stall.mp3"), 0u)
            << "the stall did not hold the writer";
    }
    push_all(wt, after, 2, true);
    return writer_thread_finish(wt);
}

// Seconds of sound arrive while the disk is stalled: all of it is in the
// file, in order, to the frame, and the file says how long it is. So too
// when the frame count passes 2^32 during the stall (after 24.9 h at 48 kHz):
// 2^32 is no multiple of the ring's size, and a 32-bit count then put the
// frames after it into slots of frames not yet written.
struct StallCase {
    const char* name;
    uint64_t first_frame;
    double seconds;
};

class WriterThreadStall : public testing::TestWithParam<StallCase> {};

TEST_P(WriterThreadStall, LosesNothing) {
    const StallCase c = GetParam();
    TempDir dir;
    // A second of 300 Hz first, so that sound out of place shows.
    std::vector<float> during = seconds_of_tone(1.0, 300.0);
    const std::vector<float> rest = seconds_of_tone(c.seconds - 1.0, 500.0);
    during.insert(during.end(), rest.begin(), rest.end());
    std::vector<float> after = seconds_of_tone(1.0, 1000.0);
    ASSERT_EQ(record_through_stall(dir, during, after, c.first_frame), 0);

    DecodedMp3 mp3 = decode_mp3(dir.file("stall.mp3"), true);
    ASSERT_TRUE(mp3.ok) << mp3.error;
    const long long pushed = static_cast<long long>((during.size() + after.size()) / 2);
    EXPECT_EQ(mp3.tagged_frames, pushed);
    EXPECT_EQ(static_cast<long long>(mp3.frames()), pushed);
    // The tone before the stall's end and the one after, each where it was.
    const std::vector<float> left = mp3.channel(0);
    auto part = [&](double from, double to) {
        return std::vector<float>(left.begin() + static_cast<long>(from * kRate),
                                  left.begin() + static_cast<long>(to * kRate));
    };
    const double end = c.seconds + 1.0;
    EXPECT_NEAR(zero_crossing_frequency(part(0.1, 0.9), kRate), 300.0, 2.0);
    EXPECT_NEAR(zero_crossing_frequency(part(1.1, c.seconds - 0.1), kRate), 500.0, 2.0);
    EXPECT_NEAR(zero_crossing_frequency(part(c.seconds + 0.1, end - 0.1), kRate), 1000.0, 2.0);
    // No gap anywhere: every 10 ms of the file carries the tone.
    for (double t = 0.05; t + 0.01 < end - 0.05; t += 0.01) {
        ASSERT_GT(rms(part(t, t + 0.01)), 0.25) << "at " << t << " s";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Recorder, WriterThreadStall,
    testing::Values(StallCase{"FiveSeconds", 0, 5.0},
                    // Nearly the whole buffer, the count passing 2^32 a second in.
                    StallCase{"SevenSecondsAcross2To32", (uint64_t{1} << 32) - kRate, 7.5}),
    [](const testing::TestParamInfo<StallCase>& p) { return std::string(p.param.name); });

// A stall longer than the buffer: the oldest sound is dropped, the newest is
// kept whole, the finish says the file is incomplete, and the file decodes.
TEST(WriterThread, ALongerStallDropsTheOldestAndSaysSo) {
    TempDir dir;
    std::vector<float> during = seconds_of_tone(4.0, 500.0);
    const std::vector<float> newer = seconds_of_tone(6.0, 1000.0);
    during.insert(during.end(), newer.begin(), newer.end());
    const std::vector<float> after = seconds_of_tone(1.0, 1000.0);
    EXPECT_EQ(record_through_stall(dir, during, after), -1);

    DecodedMp3 mp3 = decode_mp3(dir.file("stall.mp3"), true);
    ASSERT_TRUE(mp3.ok) << mp3.error;
    // The buffer's 8 s and what came after, plus at most the chunk the
    // writer had in hand when the stall began.
    const double kept = (WRITER_BUFFER_SECONDS + 1.0) * kRate;
    EXPECT_GE(static_cast<double>(mp3.frames()), kept);
    EXPECT_LE(static_cast<double>(mp3.frames()), kept + MP3_CHUNK_FRAMES);
    const std::vector<float> left = mp3.channel(0);
    const std::vector<float> last(left.end() - 6 * kRate, left.end() - kRate / 10);
    EXPECT_NEAR(zero_crossing_frequency(last, kRate), 1000.0, 2.0);
    EXPECT_GT(rms(last), 0.3);
}

// What is written reaches the file every WRITER_FLUSH_SECONDS of sound,
// however much the stream could hold back (here 64 MiB, hours of sound):
// 2.5 s into a recording the file has bytes, so that a kill or a power cut
// loses no more than that.
TEST(WriterThread, SoundReachesTheFileEveryFewSeconds) {
    TempDir dir;
    std::vector<char> buffer(64 << 20); // outlives the file, closed by the finish
    Mp3Writer* writer = mp3_writer_open(dir.wfile("flush.mp3").c_str(), kRate, 2, 192000);
    ASSERT_NE(writer, nullptr);
    ASSERT_EQ(setvbuf(writer->file, buffer.data(), _IOFBF, buffer.size()), 0);
    WriterThread* wt = writer_thread_start(writer, nullptr, 0);
    ASSERT_NE(wt, nullptr);
    push_all(wt, seconds_of_tone(2.5, 1000.0), 2);
    // Until the writer thread has taken all of it, and a little longer for
    // its flush, which follows at once.
    for (int i = 0; i < 500 && wt->frames.taken() < 5 * kRate / 2; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    auto on_disk = [&] { return std::filesystem::file_size(dir.path() / "flush.mp3"); };
    for (int i = 0; i < 200 && on_disk() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_GT(on_disk(), 40000u) << "two seconds of sound at least are in the file";
    EXPECT_EQ(writer_thread_finish(wt), 0);
}

// A disk that refuses the writes is told to the window once, however many
// writes fail, and a file that never got a byte is known as empty.
TEST(WriterThread, AFullDiskIsToldOnce) {
    FILE* probe = _wfopen(L"/dev/full", L"r+b"); // as in Mp3Writer.FullDiskIsReported
    if (probe == nullptr) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    fclose(probe);
    HWND window =
        CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(window, nullptr);
    constexpr UINT kFailed = WM_USER + 201;
    WriterThread* wt =
        writer_thread_start(mp3_writer_open(L"/dev/full", kRate, 2, 320000), window, kFailed);
    ASSERT_NE(wt, nullptr);
    push_all(wt, seconds_of_tone(3.0, 1000.0), 2);
    EXPECT_EQ(writer_thread_finish(wt), MP3_WRITER_NOTHING_WRITTEN);
    int told = 0;
    MSG msg;
    while (PeekMessageW(&msg, window, kFailed, kFailed, PM_REMOVE)) {
        ++told;
    }
    EXPECT_EQ(told, 1);
    DestroyWindow(window);
}

} // namespace
