// mp3_probe FILE [HZ]: what a recording holds, as one JSON object on stdout,
// for the end-to-end tests (tests/app/recorder_e2e.py), which drive the real
// program and then need to know what it wrote. Decodes with libmpg123
// (support/mp3_decode) and reports:
//
//   decoded      the decoder read the file to its end without an error
//   rate, channels, frames, seconds
//   kbps_min, kbps_max, vbr        over every MPEG frame
//   tag_frames                     the frame count of the information tag
//                                  in the first frame (-1: no tag there)
//   whole_frames                   the file is a chain of whole MPEG frames
//                                  from its first byte to its last (an ID3v2
//                                  tag before and an ID3v1 tag after allowed);
//                                  trailing_bytes: what is left after the
//                                  last whole frame
//   loud_seconds, loud_runs, gaps  10 ms windows louder than -26 dBFS (mixed
//                                  to mono): how long, in how many separate
//                                  runs, and how many quiet windows lie
//                                  between the first and the last loud one
//   tone_share                     share of the longest loud run's energy at
//                                  HZ (default 1000), per channel and mixed
//   dominant_hz                    that run's frequency from zero crossings
//
// Exit status 0 when the report was written (whatever it says), 2 for bad
// arguments or a file that can't be read.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <math.h>
#include <string>
#include <vector>

#include "mp3_decode.h"
#include "signals.h"

namespace {

struct FrameWalk {
    bool whole = false;
    long trailing = 0;
    int count = 0;
    long tag_frames = -1;
};

// Length in bytes of the MPEG audio frame (layer III) whose header is at p, 0
// when p holds no valid header.
long frame_length(const unsigned char* p) {
    const uint32_t h =
        (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    if ((h >> 21) != 0x7FF) {
        return 0;
    }
    const int version = (h >> 19) & 3; // 0: 2.5, 2: 2, 3: 1
    const int layer = (h >> 17) & 3;   // 1: layer III
    const int bitrate_index = (h >> 12) & 15;
    const int rate_index = (h >> 10) & 3;
    const int padding = (h >> 9) & 1;
    if (version == 1 || layer != 1 || bitrate_index == 0 || bitrate_index == 15 ||
        rate_index == 3) {
        return 0;
    }
    static const int kbps_v1[] = {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
    static const int kbps_v2[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};
    static const int rates[3][3] = {
        {11025, 12000, 8000}, {22050, 24000, 16000}, {44100, 48000, 32000}};
    const bool mpeg1 = version == 3;
    const long kbps = mpeg1 ? kbps_v1[bitrate_index] : kbps_v2[bitrate_index];
    const long rate = rates[version == 0 ? 0 : version - 1][rate_index];
    return (mpeg1 ? 144000 : 72000) * kbps / rate + padding;
}

FrameWalk walk_frames(const std::vector<unsigned char>& data) {
    FrameWalk walk;
    size_t at = 0;
    if (data.size() >= 10 && data[0] == 'I' && data[1] == 'D' && data[2] == '3') {
        const size_t size =
            (size_t{data[6]} << 21) | (size_t{data[7]} << 14) | (size_t{data[8]} << 7) | data[9];
        at = 10 + size + ((data[5] & 0x10) ? 10 : 0);
    }
    size_t end = data.size();
    if (end >= at + 128 && data[end - 128] == 'T' && data[end - 127] == 'A' &&
        data[end - 126] == 'G') {
        end -= 128;
    }
    while (at + 4 <= end) {
        const long length = frame_length(&data[at]);
        if (length <= 0 || at + length > end) {
            break;
        }
        if (walk.count == 0) {
            // "Info" (or "Xing") after the side information, then flags
            // whose bit 0 says a 32-bit frame count follows.
            for (size_t tag = at + 4; tag + 12 <= at + length; ++tag) {
                const unsigned char* t = &data[tag];
                if ((memcmp(t, "Info", 4) == 0 || memcmp(t, "Xing", 4) == 0) && (t[7] & 1)) {
                    walk.tag_frames =
                        (long{t[8]} << 24) | (long{t[9]} << 16) | (long{t[10]} << 8) | t[11];
                    break;
                }
            }
        }
        at += length;
        ++walk.count;
    }
    walk.trailing = static_cast<long>(end > at ? end - at : 0);
    walk.whole = walk.count > 0 && at == end;
    return walk;
}

std::string json_string(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: mp3_probe FILE.mp3 [TONE_HZ]\n");
        return 2;
    }
    const std::string path = argv[1];
    double tone_hz = 1000;
    if (argc == 3) {
        char* end = nullptr;
        tone_hz = strtod(argv[2], &end);
        if (end == argv[2] || *end != 0 || !(tone_hz > 0)) {
            fprintf(stderr, "mp3_probe: not a frequency in Hz: %s\n", argv[2]);
            return 2;
        }
    }
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        fprintf(stderr, "mp3_probe: cannot read %s\n", path.c_str());
        return 2;
    }
    std::vector<unsigned char> bytes;
    unsigned char chunk[65536];
    for (size_t n; (n = fread(chunk, 1, sizeof chunk, file)) > 0;) {
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    fclose(file);

    const DecodedMp3 mp3 = decode_mp3(path);
    const FrameWalk walk = walk_frames(bytes);
    const int channels = std::max(mp3.channels, 1);
    const size_t frames = mp3.frames();
    std::vector<float> mono(frames, 0.0f);
    for (size_t f = 0; f < frames; ++f) {
        for (int c = 0; c < mp3.channels; ++c) {
            mono[f] += mp3.samples[f * channels + c] / channels;
        }
    }

    // Loud windows, their runs, and the quiet windows between the first and
    // the last loud one.
    const size_t window = mp3.rate > 0 ? static_cast<size_t>(mp3.rate / 100) : 0;
    const size_t windows = window > 0 ? frames / window : 0;
    std::vector<bool> loud(windows);
    for (size_t w = 0; w < windows; ++w) {
        std::vector<float> part(mono.begin() + w * window, mono.begin() + (w + 1) * window);
        loud[w] = rms(part) > 0.05;
    }
    size_t loud_count = 0, runs = 0, gaps = 0, best_start = 0, best_length = 0;
    const auto first = std::find(loud.begin(), loud.end(), true);
    const auto last = std::find(loud.rbegin(), loud.rend(), true);
    for (size_t w = 0; w < windows; ++w) {
        if (!loud[w]) {
            continue;
        }
        ++loud_count;
        if (w == 0 || !loud[w - 1]) {
            ++runs;
            size_t length = 0;
            while (w + length < windows && loud[w + length]) {
                ++length;
            }
            if (length > best_length) {
                best_start = w;
                best_length = length;
            }
        }
    }
    if (first != loud.end()) {
        const size_t from = first - loud.begin(), to = windows - 1 - (last - loud.rbegin());
        gaps = (to - from + 1) - loud_count;
    }

    // The longest run without its first and last two windows, where the
    // sound starts and stops.
    std::vector<double> channel_share;
    double share = 0, dominant = 0;
    if (best_length > 4) {
        const size_t from = (best_start + 2) * window, to = (best_start + best_length - 2) * window;
        const std::vector<float> run(mono.begin() + from, mono.begin() + to);
        share = tone_energy_share(run, mp3.rate, tone_hz);
        dominant = zero_crossing_frequency(run, mp3.rate);
        for (int c = 0; c < mp3.channels; ++c) {
            std::vector<float> one;
            for (size_t f = from; f < to; ++f) {
                one.push_back(mp3.samples[f * channels + c]);
            }
            channel_share.push_back(tone_energy_share(one, mp3.rate, tone_hz));
        }
    }

    int kbps_min = 0, kbps_max = 0;
    if (!mp3.frame_kbps.empty()) {
        kbps_min = *std::min_element(mp3.frame_kbps.begin(), mp3.frame_kbps.end());
        kbps_max = *std::max_element(mp3.frame_kbps.begin(), mp3.frame_kbps.end());
    }
    float peak = 0;
    for (float v : mp3.samples) {
        peak = std::max(peak, fabsf(v));
    }

    printf("{\"file\": %s, \"bytes\": %zu, \"decoded\": %s, \"error\": %s,\n",
           json_string(path).c_str(), bytes.size(), mp3.ok ? "true" : "false",
           json_string(mp3.error).c_str());
    printf(" \"rate\": %ld, \"channels\": %d, \"frames\": %zu, \"seconds\": %.3f,\n", mp3.rate,
           mp3.channels, frames, mp3.rate > 0 ? static_cast<double>(frames) / mp3.rate : 0.0);
    printf(" \"mpeg_frames\": %zu, \"kbps_min\": %d, \"kbps_max\": %d, \"vbr\": %s,\n",
           mp3.frame_kbps.size(), kbps_min, kbps_max, mp3.any_vbr_frame ? "true" : "false");
    printf(" \"whole_frames\": %s, \"trailing_bytes\": %ld, \"peak\": %.4f,\n",
           walk.whole ? "true" : "false", walk.trailing, peak);
    printf(" \"walked_frames\": %d, \"tag_frames\": %ld,\n", walk.count, walk.tag_frames);
    printf(" \"tone_hz\": %.1f, \"loud_seconds\": %.3f, \"loud_runs\": %zu, \"gaps\": %zu,\n",
           tone_hz, window > 0 ? static_cast<double>(loud_count * window) / mp3.rate : 0.0, runs,
           gaps);
    printf(" \"longest_run_seconds\": %.3f, \"tone_share\": %.4f, \"channel_tone_share\": [",
           window > 0 ? static_cast<double>(best_length * window) / mp3.rate : 0.0, share);
    for (size_t c = 0; c < channel_share.size(); ++c) {
        printf("%s%.4f", c ? ", " : "", channel_share[c]);
    }
    printf("],\n \"dominant_hz\": %.1f}\n", dominant);
    return 0;
}
