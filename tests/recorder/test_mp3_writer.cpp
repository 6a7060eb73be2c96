// The MP3 writer, checked the way a listener would: every file is decoded
// with libmpg123 and its rate, channels, frame bit rates, length and sound
// are compared with what went in.
#include <gtest/gtest.h>

#include <math.h>
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "mp3_decode.h"
#include "mp3_writer.h"
#include "signals.h"
#include "temp_dir.h"

namespace {

constexpr int32_t kEngineFrames = 480; // about what the audio engine hands over per packet

// Feeds `signal` to a new writer in packets of `packet_frames` and closes it.
// Fails the test when a write or the close fails.
void encode(const std::wstring& path, int32_t rate, int32_t channels, int32_t bit_rate,
            const std::vector<float>& signal, int32_t packet_frames = kEngineFrames) {
    Mp3Writer* writer = mp3_writer_open(path.c_str(), rate, channels, bit_rate);
    ASSERT_NE(writer, nullptr);
    int32_t frames = static_cast<int32_t>(signal.size() / channels);
    for (int32_t done = 0; done < frames; done += packet_frames) {
        int32_t n = std::min(packet_frames, frames - done);
        ASSERT_EQ(mp3_writer_write(writer, signal.data() + static_cast<size_t>(done) * channels, n),
                  0);
    }
    ASSERT_EQ(mp3_writer_close(writer), 0);
}

// What libmp3lame reports for these settings: the output rate it picks and
// the delay it puts in front of the audio.
struct EncoderFacts {
    int out_rate;
    int delay;
};
EncoderFacts encoder_facts(int32_t rate, int32_t channels, int32_t bit_rate) {
    lame_t l = lame_init();
    lame_set_in_samplerate(l, rate);
    lame_set_num_channels(l, channels);
    lame_set_out_samplerate(l, rate);
    lame_set_brate(l, bit_rate / 1000);
    lame_set_mode(l, channels == 2 ? STEREO : MONO);
    lame_init_params(l);
    EncoderFacts facts{lame_get_out_samplerate(l), lame_get_encoder_delay(l)};
    lame_close(l);
    return facts;
}

struct FormatCase {
    int32_t rate;
    int32_t channels;
    int32_t bit_rate;
    int32_t packet_frames;
};

class Mp3WriterFormats : public testing::TestWithParam<FormatCase> {};

// A 1 kHz tone on every channel comes back as a 1 kHz tone, at the rate and
// bit rate asked for, in every frame, with the length that went in.
TEST_P(Mp3WriterFormats, ToneComesBackAtTheSettingsAskedFor) {
    const FormatCase& c = GetParam();
    TempDir dir;
    const int32_t frames = 2 * c.rate;
    std::vector<float> amplitudes(c.channels, 0.3f);
    encode(dir.wfile("tone.mp3"), c.rate, c.channels, c.bit_rate,
           make_tone(frames, c.channels, c.rate, 1000.0, amplitudes), c.packet_frames);

    DecodedMp3 mp3 = decode_mp3(dir.file("tone.mp3"));
    ASSERT_TRUE(mp3.ok) << mp3.error;
    const int expected_channels = c.channels == 1 ? 1 : 2;
    EncoderFacts facts = encoder_facts(c.rate, expected_channels, c.bit_rate);
    EXPECT_EQ(mp3.channels, expected_channels);
    EXPECT_EQ(mp3.rate, facts.out_rate);
    EXPECT_LE(mp3.rate, 48000);
    EXPECT_FALSE(mp3.any_vbr_frame);
    ASSERT_FALSE(mp3.frame_kbps.empty());
    for (size_t i = 0; i < mp3.frame_kbps.size(); ++i) {
        ASSERT_EQ(mp3.frame_kbps[i], c.bit_rate / 1000) << "frame " << i;
    }

    // Length: decoded frame by frame, the input comes at the output rate
    // behind the encoder's delay, padded to a whole frame plus the one frame
    // its flush adds for the decoder's overlap. The first frame is the
    // information tag, which a decoder reads instead of playing, and a
    // gapless decoder takes the exact length from it.
    const double frame_len = mp3.rate > 24000 ? 1152 : 576;
    const double input = static_cast<double>(frames) * mp3.rate / c.rate;
    const double audio = static_cast<double>(mp3.frames());
    EXPECT_GE(audio, input + facts.delay);
    EXPECT_LT(audio, input + facts.delay + 2 * frame_len);
    DecodedMp3 gapless = decode_mp3(dir.file("tone.mp3"), true);
    ASSERT_TRUE(gapless.ok) << gapless.error;
    EXPECT_NEAR(static_cast<double>(gapless.tagged_frames), input, 1.0);
    EXPECT_EQ(static_cast<long long>(gapless.frames()), gapless.tagged_frames);
    std::vector<char> head(400);
    FILE* file = _wfopen(dir.wfile("tone.mp3").c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    head.resize(fread(head.data(), 1, head.size(), file));
    fclose(file);
    const std::string start(head.begin(), head.end());
    EXPECT_NE(start.find("Info"), std::string::npos);
    EXPECT_NE(start.find("LAME"), std::string::npos);

    for (int ch = 0; ch < mp3.channels; ++ch) {
        std::vector<float> sound = middle(mp3.channel(ch), 4096);
        EXPECT_NEAR(zero_crossing_frequency(sound, mp3.rate), 1000.0, 5.0) << "channel " << ch;
        EXPECT_GT(tone_energy_share(sound, mp3.rate, 1000.0), 0.95) << "channel " << ch;
        // Six channels at one level fold into a side at that level.
        double expected_rms = 0.3 * 0.70710678;
        // libmp3lame gives back 95% (128 kbit/s) to 97% (192 kbit/s) of a
        // pure tone's level; measured the same for any amplitude.
        EXPECT_NEAR(rms(sound), expected_rms, 0.06 * expected_rms) << "channel " << ch;
    }
}

INSTANTIATE_TEST_SUITE_P(Recorder, Mp3WriterFormats,
                         testing::Values(FormatCase{44100, 1, 128000, kEngineFrames},
                                         FormatCase{48000, 2, 192000, kEngineFrames},
                                         FormatCase{48000, 6, 224000, kEngineFrames},
                                         FormatCase{96000, 2, 320000, kEngineFrames},
                                         // Deliveries far longer than one encode call's output
                                         // buffer can hold are encoded whole, not dropped.
                                         FormatCase{48000, 2, 320000, 48000},
                                         FormatCase{48000, 1, 320000, 30000}),
                         [](const testing::TestParamInfo<FormatCase>& p) {
                             return std::to_string(p.param.channels) + "ch_" +
                                    std::to_string(p.param.rate) + "Hz_" +
                                    std::to_string(p.param.bit_rate / 1000) + "k_packets" +
                                    std::to_string(p.param.packet_frames);
                         });

// Channels keep their places: what is played on one side stays there, and the
// surround layouts fold each channel to its own side, centre and surrounds
// 3 dB below the front, with the headroom the sum of a side needs: every
// channel at 0.9 of full scale comes out at 0.9, not beyond full scale.
TEST(Mp3Writer, ChannelsLandWhereTheyBelong) {
    struct Case {
        int32_t channels;
        std::vector<float> amplitudes;
        double left, right; // expected tone amplitude in the stereo file
    };
    const double k = 0.70710678;
    // A side's weights add up to 1: front 1, each centre or surround k.
    const double three = 1 / (1 + k), five = 1 / (1 + 2 * k), seven = 1 / (1 + 3 * k);
    std::vector<Case> cases = {
        {2, {0.5f, 0.0f}, 0.5, 0.0},                                  // left only
        {2, {0.0f, 0.5f}, 0.0, 0.5},                                  // right only
        {6, {0, 0, 0.5f}, 0.5 * k * five, 0.5 * k * five},            // 5.1 centre
        {6, {0, 0, 0, 0.5f}, 0.0, 0.0},                               // 5.1 LFE is dropped
        {6, {0, 0, 0, 0, 0.5f}, 0.5 * k * five, 0.0},                 // 5.1 back left
        {6, {0, 0, 0, 0, 0, 0.5f}, 0.0, 0.5 * k * five},              // 5.1 back right
        {4, {0, 0, 0, 0.5f}, 0.0, 0.5 * k * three},                   // quad back right
        {8, {0, 0, 0, 0, 0, 0, 0.5f}, 0.5 * k * seven, 0.0},          // 7.1 side left
        {3, {0.5f, 0, 0.5f}, 0.5, 0.5 * k * three},                   // front left plus centre
        {10, {0, 0, 0, 0, 0, 0, 0, 0, 0.5f, 0.5f}, 0.0, 0.0},         // past the eighth: no position
    };
    for (int32_t channels = 3; channels <= 8; ++channels) {
        cases.push_back({channels, std::vector<float>(channels, 0.9f), 0.9, 0.9});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.channels << " channels, case of " << c.left << "/" << c.right);
        TempDir dir;
        std::vector<float> amplitudes = c.amplitudes;
        amplitudes.resize(c.channels, 0.0f);
        encode(dir.wfile("side.mp3"), 48000, c.channels, 192000,
               make_tone(48000, c.channels, 48000, 1000.0, amplitudes));
        DecodedMp3 mp3 = decode_mp3(dir.file("side.mp3"));
        ASSERT_TRUE(mp3.ok) << mp3.error;
        ASSERT_EQ(mp3.channels, 2);
        const double expected[2] = {c.left, c.right};
        for (int ch = 0; ch < 2; ++ch) {
            double level = rms(middle(mp3.channel(ch), 4096)) * sqrt(2.0);
            EXPECT_NEAR(level, expected[ch], 0.02 + 0.03 * expected[ch]) << "channel " << ch;
        }
    }
}

// A writer that is closed without samples leaves what the flush returned: a
// valid stream of a few frames at most, or nothing.
TEST(Mp3Writer, EmptyRecordingAndEmptyDeliveries) {
    TempDir dir;
    Mp3Writer* writer = mp3_writer_open(dir.wfile("empty.mp3").c_str(), 48000, 2, 192000);
    ASSERT_NE(writer, nullptr);
    // A zero-frame delivery reaches the encoder and adds nothing.
    EXPECT_EQ(mp3_writer_write(writer, nullptr, 0), 0);
    float one_frame[2] = {0, 0};
    EXPECT_EQ(mp3_writer_write(writer, one_frame, 0), 0);
    EXPECT_EQ(std::filesystem::file_size(dir.path() / "empty.mp3"), 0u);
    ASSERT_EQ(mp3_writer_close(writer), 0);

    DecodedMp3 mp3 = decode_mp3(dir.file("empty.mp3"));
    ASSERT_TRUE(mp3.ok) << mp3.error;
    EXPECT_LE(mp3.frame_kbps.size(), 3u);
    for (float v : mp3.samples) {
        ASSERT_EQ(v, 0.0f);
    }
}

// Low sample rates can't carry the higher bit rates: the writer uses the
// nearest the encoder accepts, says which, and the file has it in every frame.
TEST(Mp3Writer, ALowRateGetsTheNearestBitRateItCanCarry) {
    struct Case {
        int32_t rate;
        int32_t asked;
        int32_t used;
    };
    for (const Case& c :
         {Case{8000, 192000, 64000}, Case{11025, 320000, 64000}, Case{22050, 320000, 160000},
          Case{22050, 128000, 128000}, Case{48000, 320000, 320000}}) {
        EXPECT_EQ(mp3_writer_bit_rate_used(c.rate, 1, c.asked), c.used) << c.rate;
        TempDir dir;
        Mp3Writer* writer = mp3_writer_open(dir.wfile("low.mp3").c_str(), c.rate, 1, c.asked);
        ASSERT_NE(writer, nullptr);
        EXPECT_EQ(writer->bit_rate, c.used) << c.rate;
        std::vector<float> tone = make_tone(c.rate, 1, c.rate, 440.0, {0.5f});
        ASSERT_EQ(mp3_writer_write(writer, tone.data(), c.rate), 0);
        ASSERT_EQ(mp3_writer_close(writer), 0);
        DecodedMp3 mp3 = decode_mp3(dir.file("low.mp3"));
        ASSERT_TRUE(mp3.ok) << mp3.error;
        EXPECT_EQ(mp3.rate, c.rate);
        for (int kbps : mp3.frame_kbps) {
            ASSERT_EQ(kbps, c.used / 1000) << c.rate;
        }
    }
}

// Files that can't be created, and parameters no recording can have.
TEST(Mp3Writer, OpenRefusesWhatCannotBeRecorded) {
    TempDir dir;
    EXPECT_EQ(mp3_writer_open(dir.wfile("missing/folder/x.mp3").c_str(), 48000, 2, 192000),
              nullptr);
    EXPECT_EQ(mp3_writer_open(dir.path().wstring().c_str(), 48000, 2, 192000), nullptr);
    EXPECT_EQ(mp3_writer_open(nullptr, 48000, 2, 192000), nullptr);
    EXPECT_EQ(mp3_writer_open(dir.wfile("zero.mp3").c_str(), 48000, 0, 192000), nullptr);
    EXPECT_EQ(mp3_writer_open(dir.wfile("neg.mp3").c_str(), 48000, -2, 192000), nullptr);
    EXPECT_EQ(mp3_writer_open(dir.wfile("norate.mp3").c_str(), 0, 2, 192000), nullptr);
    // Nothing was left behind by a refused open either.
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "zero.mp3"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "norate.mp3"));

    EXPECT_EQ(mp3_writer_write(nullptr, nullptr, 0), -1);
    EXPECT_EQ(mp3_writer_close(nullptr), -1);
    Mp3Writer* writer = mp3_writer_open(dir.wfile("ok.mp3").c_str(), 48000, 2, 192000);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(mp3_writer_write(writer, nullptr, 10), -1);
    float frame[2] = {0, 0};
    EXPECT_EQ(mp3_writer_write(writer, frame, -1), -1);
    EXPECT_EQ(mp3_writer_close(writer), 0);
}

// The wide path reaches the file system as the same name, whatever script.
TEST(Mp3Writer, CreatesExactlyTheNamedFileInAnyScript) {
    TempDir dir;
    std::filesystem::path folder = dir.path() / std::filesystem::path(u8"录音 ✓");
    std::filesystem::create_directory(folder);
    std::filesystem::path file = folder / std::filesystem::path(u8"12月07日 08时05分.mp3");
    std::wstring wide = dir.path().wstring() + L"/录音 ✓/12月07日 08时05分.mp3";
    encode(wide, 48000, 2, 128000, make_tone(4800, 2, 48000, 1000.0, {0.5f, 0.5f}));
    ASSERT_TRUE(std::filesystem::exists(file));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_TRUE(decode_mp3(file.string()).ok);
}

// Whatever a broken driver delivers (NaN, infinities, denormals, absurd
// levels, odd lengths), the process survives and the file stays decodable.
TEST(Mp3Writer, SurvivesAnyDelivery) {
    std::mt19937 rng(20261207);
    const float specials[] = {NAN,    -NAN, INFINITY, -INFINITY, 1e-40f, -1e-42f, 3e38f,
                              -3e38f, 1e6f, -1e9f,    70000.0f,  2.0f,   -1.0f,   0.0f};
    for (int32_t channels : {1, 2, 6}) {
        SCOPED_TRACE(testing::Message() << channels << " channels");
        TempDir dir;
        Mp3Writer* writer =
            mp3_writer_open(dir.wfile("noise.mp3").c_str(), 48000, channels, 128000);
        ASSERT_NE(writer, nullptr);
        std::vector<float> packet;
        for (int p = 0; p < 120; ++p) {
            int32_t frames = std::uniform_int_distribution<int32_t>(0, 9000)(rng);
            int mode = p % 4; // ordinary, all special, sprinkled, loud everywhere
            packet.resize(static_cast<size_t>(frames) * channels);
            for (float& v : packet) {
                float ordinary = std::uniform_real_distribution<float>(-1.0f, 1.0f)(rng);
                float special = specials[rng() % std::size(specials)];
                v = mode == 0   ? ordinary
                    : mode == 1 ? special
                    : mode == 2 ? (rng() % 50 == 0 ? special : ordinary)
                                : ordinary * 1e30f;
            }
            EXPECT_EQ(mp3_writer_write(writer, packet.data(), frames), 0);
        }
        ASSERT_EQ(mp3_writer_close(writer), 0);
        DecodedMp3 mp3 = decode_mp3(dir.file("noise.mp3"));
        ASSERT_TRUE(mp3.ok) << mp3.error;
        EXPECT_GT(mp3.frames(), 48000u * 5);
        EXPECT_TRUE(std::all_of(mp3.samples.begin(), mp3.samples.end(),
                                [](float v) { return std::isfinite(v); }));
    }
}

// Values the encoder can't take are replaced before it sees them: NaN by
// silence, infinities by full scale, absurd levels by the loudest level
// allowed. The encoder is deterministic, so the file must be byte for byte
// the one made from the replaced values, for every channel layout.
TEST(Mp3Writer, ValuesTheEncoderCannotTakeAreReplaced) {
    auto read_all = [](const std::string& path) {
        FILE* f = fopen(path.c_str(), "rb");
        std::string bytes;
        char buf[4096];
        size_t n;
        while (f != nullptr && (n = fread(buf, 1, sizeof buf, f)) > 0) {
            bytes.append(buf, n);
        }
        if (f != nullptr) {
            fclose(f);
        }
        return bytes;
    };
    for (int32_t channels : {1, 2, 6}) {
        SCOPED_TRACE(testing::Message() << channels << " channels");
        TempDir dir;
        std::vector<float> broken =
            make_tone(48000, channels, 48000, 1000.0, std::vector<float>(channels, 0.5f));
        std::vector<float> replaced = broken;
        const float specials[][2] = {
            {NAN, 0.0f}, {INFINITY, 1.0f}, {-INFINITY, -1.0f}, {1e9f, 64.0f}, {-3e38f, -64.0f}};
        for (size_t i = 0, k = 0; i < broken.size(); i += 1201, ++k) {
            broken[i] = specials[k % 5][0];
            replaced[i] = specials[k % 5][1];
        }
        encode(dir.wfile("broken.mp3"), 48000, channels, 192000, broken);
        encode(dir.wfile("replaced.mp3"), 48000, channels, 192000, replaced);
        std::string a = read_all(dir.file("broken.mp3")), b = read_all(dir.file("replaced.mp3"));
        EXPECT_GT(a.size(), 10000u);
        EXPECT_TRUE(a == b) << "the files differ";
    }
}

// A recording past 6 GiB (two days at 320 kbit/s; the file is sparse
// here) still gets its information tag: positions are 64-bit, where the
// 32-bit build's ftell gave up past 2 GiB and left the reserved frame empty.
TEST(Mp3Writer, AFilePast6GiBGetsItsTag) {
    TempDir dir;
    Mp3Writer* writer = mp3_writer_open(dir.wfile("long.mp3").c_str(), 48000, 2, 320000);
    ASSERT_NE(writer, nullptr);
    const std::vector<float> tone = make_tone(48000, 2, 48000, 1000.0, {0.5f, 0.5f});
    ASSERT_EQ(mp3_writer_write(writer, tone.data(), 48000), 0);
    ASSERT_EQ(_fseeki64(writer->file, (3LL << 31) + (1LL << 20), SEEK_SET), 0);
    ASSERT_EQ(fputc(0, writer->file), 0);
    ASSERT_EQ(mp3_writer_close(writer), 0);
    EXPECT_GT(std::filesystem::file_size(dir.path() / "long.mp3"), 3ull << 31);
    std::string head(1024, '\0');
    FILE* file = _wfopen(dir.wfile("long.mp3").c_str(), L"rb");
    ASSERT_NE(file, nullptr);
    head.resize(fread(head.data(), 1, head.size(), file));
    fclose(file);
    EXPECT_EQ(static_cast<unsigned char>(head[0]), 0xFFu) << "the reserved frame is still empty";
    EXPECT_NE(head.find("Info"), std::string::npos);
    EXPECT_NE(head.find("LAME"), std::string::npos);
}

// A full disk is reported: by a write once the stream's buffer can't go out,
// and by the close in any case. The full disk is /dev/full, which the Windows
// build reaches too when it runs under Wine (through the drive that maps the
// Unix root; Wine reports no attributes for devices, hence the probe by
// opening). Windows itself has no such device.
TEST(Mp3Writer, FullDiskIsReported) {
    FILE* probe = _wfopen(L"/dev/full", L"r+b"); // never creates a file
    if (probe == nullptr) {
        GTEST_SKIP() << "no /dev/full on this system";
    }
    fclose(probe);
    Mp3Writer* writer = mp3_writer_open(L"/dev/full", 48000, 2, 320000);
    ASSERT_NE(writer, nullptr);
    std::vector<float> tone = make_tone(kEngineFrames, 2, 48000, 1000.0, {0.5f, 0.5f});
    int failed_writes = 0;
    for (int p = 0; p < 200; ++p) { // two seconds, far more than a stdio buffer
        failed_writes += mp3_writer_write(writer, tone.data(), kEngineFrames) == -1;
    }
    EXPECT_GT(failed_writes, 0);
    // Nothing ever reached it: the file is known to be empty.
    EXPECT_EQ(mp3_writer_close(writer), MP3_WRITER_NOTHING_WRITTEN);
}

// Close waits for a write in progress: a long delivery encoding on another
// thread when close is called still ends up whole in the file.
TEST(Mp3Writer, CloseWaitsForAWriteInProgress) {
    TempDir dir;
    const int32_t frames = 48000 * 20;
    std::vector<float> tone = make_tone(frames, 2, 48000, 1000.0, {0.5f, 0.5f});
    Mp3Writer* writer = mp3_writer_open(dir.wfile("race.mp3").c_str(), 48000, 2, 192000);
    ASSERT_NE(writer, nullptr);
    std::atomic<int32_t> write_result{1};
    std::thread capture([&] { write_result = mp3_writer_write(writer, tone.data(), frames); });
    // Bytes in the file mean the write is under way (holding the writer).
    while (std::filesystem::file_size(dir.path() / "race.mp3") == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(mp3_writer_close(writer), 0);
    capture.join();
    EXPECT_EQ(write_result, 0);

    DecodedMp3 mp3 = decode_mp3(dir.file("race.mp3"));
    ASSERT_TRUE(mp3.ok) << mp3.error;
    EXPECT_GE(mp3.frames(), static_cast<size_t>(frames));
}

} // namespace
