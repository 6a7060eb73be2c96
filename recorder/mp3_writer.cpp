#include "mp3_writer.h"

#include <errno.h>
#include <io.h>
#include <math.h>
#include <stdlib.h>

namespace {

constexpr float MINUS_3DB = 0.70710678f;

// Largest magnitude handed to the encoder. libmp3lame aborts the whole
// process on levels far beyond full scale (measured with 3.100: from about
// 16384 times full scale at low bit rates, and at once for 1e6 and up), as it
// does on NaN and infinity. 64 times full scale (+36 dB) is far above any
// real signal and far below that limit, even after a downmix adds channels.
constexpr float MAX_MAGNITUDE = 64.0f;

// Left and right weights of each channel when more than two are folded into
// stereo. The layouts are the usual channel orders of each count (Windows'
// default speaker masks, which PulseAudio's defaults match): centre and
// surrounds join both or their own side 3 dB below the front, and LFE is
// dropped, as a stereo listener would not hear it anyway. Then each layout's
// weights are scaled so that a side's add up to 1 (mixed_weight below): all
// channels at full scale together make full scale, never more. A stereo
// source that the sound server spreads over a surround output (it copies
// each side to the side's front, centre and surrounds) thus comes back at
// its own level; unscaled, a 5.1 mix of it reached 2.4 times full scale.
//   3: FL FR FC                 6: FL FR FC LFE BL BR
//   4: FL FR BL BR              7: FL FR FC LFE BC SL SR
//   5: FL FR FC BL BR           8: FL FR FC LFE BL BR SL SR
// Channels beyond the eighth have no agreed position and are dropped.
struct StereoWeights {
    float left;
    float right;
};

constexpr StereoWeights FL{1.0f, 0.0f}, FR{0.0f, 1.0f}, FC{MINUS_3DB, MINUS_3DB}, LFE{0.0f, 0.0f},
    BC = FC;
// Back and side surrounds alike join their own side.
constexpr StereoWeights SL{MINUS_3DB, 0.0f}, SR{0.0f, MINUS_3DB}, BL = SL, BR = SR;
constexpr int32_t MAX_MIXED_CHANNELS = 8;
constexpr StereoWeights LAYOUTS[][MAX_MIXED_CHANNELS] = {
    /* 3 */ {FL, FR, FC},
    /* 4 */ {FL, FR, BL, BR},
    /* 5 */ {FL, FR, FC, BL, BR},
    /* 6 */ {FL, FR, FC, LFE, BL, BR},
    /* 7 */ {FL, FR, FC, LFE, BC, SL, SR},
    /* 8 */ {FL, FR, FC, LFE, BL, BR, SL, SR},
};

const StereoWeights* mp3_downmix_weights(int32_t channels) {
    int32_t layout = channels < MAX_MIXED_CHANNELS ? channels : MAX_MIXED_CHANNELS;
    return LAYOUTS[layout - 3];
}

// The scale of a layout's weights: one over the larger of its sides' sums.
constexpr float mixed_scale(const StereoWeights* weights) {
    float left = 0.0f;
    float right = 0.0f;
    for (int32_t c = 0; c < MAX_MIXED_CHANNELS; ++c) {
        left += weights[c].left;
        right += weights[c].right;
    }
    return 1.0f / (left > right ? left : right);
}

constexpr float MIXED_SCALES[] = {mixed_scale(LAYOUTS[0]), mixed_scale(LAYOUTS[1]),
                                  mixed_scale(LAYOUTS[2]), mixed_scale(LAYOUTS[3]),
                                  mixed_scale(LAYOUTS[4]), mixed_scale(LAYOUTS[5])};

int32_t encoder_channels(int32_t channels) {
    return channels >= 2 ? 2 : 1;
}

inline bool needs_cleaning(float v) {
    return !(fabsf(v) <= MAX_MAGNITUDE);
} // true for NaN

// NaN becomes silence, infinities and absurd levels the loudest value allowed.
inline float cleaned(float v) {
    if (isnan(v)) {
        return 0.0f;
    }
    if (isinf(v)) {
        return v > 0 ? 1.0f : -1.0f;
    }
    return fmaxf(-MAX_MAGNITUDE, fminf(v, MAX_MAGNITUDE));
}

// The values the encoder may read as they stand, or a cleaned copy in
// scratch. A delivery of ordinary values is never copied.
const float* cleaned_values(float* scratch, const float* values, int32_t count) {
    int32_t i = 0;
    while (i < count && !needs_cleaning(values[i])) {
        ++i;
    }
    if (i == count) {
        return values;
    }
    for (int32_t j = 0; j < count; ++j) {
        scratch[j] = cleaned(values[j]);
    }
    return scratch;
}

void downmix_to_stereo(float* out, const float* in, int32_t frames, int32_t channels) {
    const StereoWeights* weights = mp3_downmix_weights(channels);
    int32_t mixed = channels < MAX_MIXED_CHANNELS ? channels : MAX_MIXED_CHANNELS;
    const float scale = MIXED_SCALES[mixed - 3];
    for (int32_t f = 0; f < frames; ++f) {
        const float* frame = in + static_cast<size_t>(f) * channels;
        float left = 0.0f, right = 0.0f;
        for (int32_t c = 0; c < mixed; ++c) {
            float v = needs_cleaning(frame[c]) ? cleaned(frame[c]) : frame[c];
            left += weights[c].left * v;
            right += weights[c].right * v;
        }
        out[2 * f] = scale * left;
        out[2 * f + 1] = scale * right;
    }
}

// Appends n encoded bytes to the file; a short write marks the writer failed.
bool append(Mp3Writer* w, int32_t n) {
    if (n <= 0) {
        return true;
    }
    if (fwrite(w->out_buffer, 1, static_cast<size_t>(n), w->file) != static_cast<size_t>(n)) {
        w->io_failed = 1;
        return false;
    }
    return true;
}

// Encodes one chunk of at most MP3_CHUNK_FRAMES frames. The encoder reads
// exactly two values per frame from its interleaved call, so one channel goes
// through the planar call (left and right the same buffer; only left is read
// for a mono stream), and more than two are downmixed first.
int32_t encode_chunk(Mp3Writer* w, const float* samples, int32_t frames) {
    int32_t n;
    if (w->channels == 1) {
        const float* mono = cleaned_values(w->scratch, samples, frames);
        n = lame_encode_buffer_ieee_float(w->encoder, mono, mono, frames, w->out_buffer,
                                          MP3_OUT_BUFFER_SIZE);
    } else {
        const float* stereo;
        if (w->channels == 2) {
            stereo = cleaned_values(w->scratch, samples, 2 * frames);
        } else {
            downmix_to_stereo(w->scratch, samples, frames, w->channels);
            stereo = w->scratch;
        }
        n = lame_encode_buffer_interleaved_ieee_float(w->encoder, stereo, frames, w->out_buffer,
                                                      MP3_OUT_BUFFER_SIZE);
    }
    if (n < 0) {
        return -1;
    }
    return append(w, n) ? 0 : -1;
}

// A new encoder set up for a recording, or null when libmp3lame refuses the
// parameters. The setters' results are not checked: a value the encoder
// refuses leaves its own choice in place (an output rate MP3 can't carry, a
// bit rate above what the rate's MPEG version allows), and lame_init_params
// has the last word.
lame_t configured_encoder(int32_t sample_rate, int32_t channels, int32_t bit_rate) {
    lame_t encoder = lame_init();
    if (encoder == nullptr) {
        return nullptr;
    }
    int32_t encoded_channels = encoder_channels(channels);
    lame_set_in_samplerate(encoder, sample_rate);
    lame_set_num_channels(encoder, encoded_channels);
    lame_set_out_samplerate(encoder, sample_rate);
    lame_set_brate(encoder, bit_rate / 1000);
    lame_set_mode(encoder, encoded_channels == 2 ? STEREO : MONO);
    lame_set_quality(encoder, 2);
    // The first frame is reserved for the information tag, which close
    // writes once the length is known.
    lame_set_bWriteVbrTag(encoder, 1);
    if (lame_init_params(encoder) < 0) {
        lame_close(encoder);
        return nullptr;
    }
    return encoder;
}

// Fills the frame reserved at the start of the file with the encoder's
// information tag: the exact length, the encoder's delay and padding, so
// that players show the right duration and play without the gap. A file
// whose writes failed never gets here: its start may not be that frame.
void write_info_tag(Mp3Writer* w) {
    const size_t n =
        lame_get_lametag_frame(w->encoder, w->out_buffer, static_cast<size_t>(MP3_OUT_BUFFER_SIZE));
    if (n == 0 || n > static_cast<size_t>(MP3_OUT_BUFFER_SIZE)) {
        return;
    }
    // 64-bit positions: a recording past 2 GiB (15 h at 320 kbit/s) is no
    // reason to leave its tag out, as a 32-bit ftell would.
    const long long end = _ftelli64(w->file);
    if (end < static_cast<long long>(n) || _fseeki64(w->file, 0, SEEK_SET) != 0) {
        return; // not a file one can go back in (a pipe), or too short
    }
    if (fwrite(w->out_buffer, 1, n, w->file) != n) {
        w->io_failed = 1;
    }
    _fseeki64(w->file, 0, SEEK_END);
}

} // namespace

int32_t mp3_writer_bit_rate_used(int32_t sample_rate, int32_t channels, int32_t bit_rate) {
    if (channels < 1 || sample_rate < 1) {
        return bit_rate;
    }
    lame_t encoder = configured_encoder(sample_rate, channels, bit_rate);
    if (encoder == nullptr) {
        return bit_rate;
    }
    const int32_t used = lame_get_brate(encoder) * 1000;
    lame_close(encoder);
    return used;
}

Mp3Writer* mp3_writer_open(const WCHAR* path, int32_t sample_rate, int32_t channels,
                           int32_t bit_rate) {
    if (path == nullptr || channels < 1 || sample_rate < 1) {
        return nullptr;
    }
    FILE* file = _wfopen(path, L"wb");
    if (file == nullptr) {
        return nullptr;
    }
    return mp3_writer_open_file(file, sample_rate, channels, bit_rate);
}

Mp3Writer* mp3_writer_open_file(FILE* file, int32_t sample_rate, int32_t channels,
                                int32_t bit_rate) {
    if (file == nullptr) {
        return nullptr;
    }
    lame_t encoder = channels < 1 || sample_rate < 1
                         ? nullptr
                         : configured_encoder(sample_rate, channels, bit_rate);
    if (encoder == nullptr) {
        fclose(file);
        return nullptr;
    }
    int32_t encoded_channels = encoder_channels(channels);

    auto* out_buffer = static_cast<unsigned char*>(malloc(MP3_OUT_BUFFER_SIZE));
    auto* scratch = static_cast<float*>(
        malloc(sizeof(float) * MP3_CHUNK_FRAMES * static_cast<size_t>(encoded_channels)));
    auto* writer = static_cast<Mp3Writer*>(malloc(sizeof(Mp3Writer)));
    if (out_buffer == nullptr || scratch == nullptr || writer == nullptr) {
        free(writer);
        free(scratch);
        free(out_buffer);
        lame_close(encoder);
        fclose(file);
        return nullptr;
    }

    writer->encoder = encoder;
    writer->sample_rate = sample_rate;
    writer->channels = channels;
    writer->bit_rate = lame_get_brate(encoder) * 1000;
    writer->file = file;
    writer->out_buffer = out_buffer;
    writer->scratch = scratch;
    writer->io_failed = 0;
    InitializeCriticalSection(&writer->lock);
    writer->active = 1;
    return writer;
}

int32_t mp3_writer_write(Mp3Writer* writer, const float* samples, int32_t frames) {
    if (writer == nullptr || frames < 0 || (samples == nullptr && frames > 0)) {
        return -1;
    }
    EnterCriticalSection(&writer->lock);
    int32_t result = -1;
    if (writer->active == 1) {
        // Chunks keep each encode call's output within the one output buffer
        // (and the scratch copy within its size), so a long delivery is
        // encoded whole instead of failing. An empty delivery still reaches
        // the encoder once.
        result = 0;
        int32_t done = 0;
        do {
            int32_t chunk = frames - done < MP3_CHUNK_FRAMES ? frames - done : MP3_CHUNK_FRAMES;
            if (encode_chunk(writer, samples + static_cast<size_t>(done) * writer->channels,
                             chunk) < 0) {
                result = -1;
            }
            done += chunk;
        } while (done < frames);
    }
    LeaveCriticalSection(&writer->lock);
    return result;
}

int32_t mp3_writer_flush(Mp3Writer* writer) {
    if (writer == nullptr) {
        return -1;
    }
    EnterCriticalSection(&writer->lock);
    // The stream's buffer goes to the system, and the system's to the disk,
    // so neither a killed process nor a power cut loses more than the time
    // since the last flush.
    if (writer->active == 1 &&
        (fflush(writer->file) != 0 || (_commit(_fileno(writer->file)) != 0 && errno != EINVAL))) {
        writer->io_failed = 1;
    }
    const int32_t result = writer->io_failed != 0 ? -1 : 0;
    LeaveCriticalSection(&writer->lock);
    return result;
}

int32_t mp3_writer_close(Mp3Writer* writer) {
    if (writer == nullptr) {
        return -1;
    }
    // Waits here for a write in progress; any write after this point finds
    // the writer inactive.
    EnterCriticalSection(&writer->lock);
    writer->active = 0;
    // A file whose writes failed gets nothing more: its end is already lost.
    if (writer->io_failed == 0) {
        append(writer, lame_encode_flush(writer->encoder, writer->out_buffer, MP3_OUT_BUFFER_SIZE));
        write_info_tag(writer);
    }
    lame_close(writer->encoder);
    // A full disk may only show when the stream's own buffer goes out, so
    // the flush and the close are checked too, and so is the stream's
    // sticky error flag.
    bool failed = writer->io_failed != 0 || fflush(writer->file) != 0 || ferror(writer->file);
    // What reached the file, as the system sees it; a failed recording of
    // which nothing did is told apart, so that its empty file can go.
    const bool empty = _filelength(_fileno(writer->file)) == 0;
    if (fclose(writer->file) != 0) {
        failed = true;
    }
    free(writer->out_buffer);
    free(writer->scratch);
    LeaveCriticalSection(&writer->lock);
    DeleteCriticalSection(&writer->lock);
    free(writer);
    return !failed ? 0 : empty ? MP3_WRITER_NOTHING_WRITTEN : -1;
}
