#include "mp3_decode.h"

#include <mpg123.h>

std::vector<float> DecodedMp3::channel(int c) const {
    std::vector<float> out;
    out.reserve(frames());
    for (size_t i = c; i < samples.size(); i += channels) {
        out.push_back(samples[i]);
    }
    return out;
}

DecodedMp3 decode_mp3(const std::string& path, bool gapless) {
    DecodedMp3 out;
    int err = MPG123_OK;
    mpg123_handle* mh = mpg123_new(nullptr, &err);
    if (mh == nullptr) {
        out.error = "mpg123_new failed";
        return out;
    }
    // Raw frames unless gapless: no trimming by a tag. Float output at the
    // stream's own rate.
    mpg123_param(mh, gapless ? MPG123_ADD_FLAGS : MPG123_REMOVE_FLAGS, MPG123_GAPLESS, 0.0);
    mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_FORCE_FLOAT | MPG123_QUIET, 0.0);
    if (mpg123_open(mh, path.c_str()) != MPG123_OK) {
        out.error = std::string("cannot open: ") + mpg123_strerror(mh);
        mpg123_delete(mh);
        return out;
    }
    long delay = -1;
    if (gapless && mpg123_scan(mh) == MPG123_OK &&
        mpg123_getstate(mh, MPG123_ENC_DELAY, &delay, nullptr) == MPG123_OK && delay >= 0) {
        out.tagged_frames = mpg123_length(mh);
    }
    for (;;) {
        off_t frame_number = 0;
        unsigned char* audio = nullptr;
        size_t bytes = 0;
        err = mpg123_decode_frame(mh, &frame_number, &audio, &bytes);
        if (err == MPG123_NEW_FORMAT) {
            int encoding = 0;
            mpg123_getformat(mh, &out.rate, &out.channels, &encoding);
            if (encoding != MPG123_ENC_FLOAT_32) {
                out.error = "decoder gave no float output";
                break;
            }
            continue;
        }
        if (err == MPG123_DONE) {
            out.ok = true;
            break;
        }
        if (err != MPG123_OK) {
            out.error = std::string("decode error: ") + mpg123_strerror(mh);
            break;
        }
        mpg123_frameinfo info;
        mpg123_info(mh, &info);
        out.frame_kbps.push_back(info.bitrate);
        out.any_vbr_frame = out.any_vbr_frame || info.vbr != MPG123_CBR;
        const auto* values = reinterpret_cast<const float*>(audio);
        out.samples.insert(out.samples.end(), values, values + bytes / sizeof(float));
    }
    mpg123_close(mh);
    mpg123_delete(mh);
    return out;
}
