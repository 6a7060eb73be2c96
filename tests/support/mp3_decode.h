// Decodes an MP3 file with libmpg123, so tests can check what a listener
// would hear: rate, channels, the bit rate of every frame, length and sound.
#pragma once

#include <string>
#include <vector>

struct DecodedMp3 {
    bool ok = false;
    std::string error;
    long rate = 0;
    int channels = 0;
    std::vector<float> samples;  // interleaved, full scale 1.0
    std::vector<int> frame_kbps; // bit rate of every MPEG frame, in kbit/s
    bool any_vbr_frame = false;
    // The length the file's information tag gives, in frames (the encoder's
    // delay and padding taken off); -1 without a tag. Read only by a
    // gapless decode.
    long long tagged_frames = -1;

    size_t frames() const { return channels > 0 ? samples.size() / channels : 0; }
    // One channel's samples.
    std::vector<float> channel(int c) const;
};

// Every frame is decoded as it stands, the encoder's delay and padding
// included; with `gapless`, as a player does: the information tag's delay
// and padding are cut off.
DecodedMp3 decode_mp3(const std::string& path, bool gapless = false);
