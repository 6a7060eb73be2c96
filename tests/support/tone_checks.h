// Checks the window and file tests share on what a recording holds.
#pragma once

#include <gtest/gtest.h>

#include "mp3_decode.h"
#include "signals.h"

// A decoded recording holds a tone of `frequency` in its middle.
inline void expect_tone(const DecodedMp3& mp3, double frequency) {
    ASSERT_TRUE(mp3.ok) << mp3.error;
    const std::vector<float> left = middle(mp3.channel(0), mp3.rate / 4);
    ASSERT_GT(left.size(), static_cast<size_t>(mp3.rate / 2)) << "at least half a second";
    EXPECT_GT(tone_energy_share(left, mp3.rate, frequency), 0.8);
    EXPECT_GT(rms(left), 0.1);
}
