// Test signals and the measurements that check them.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <vector>

// Interleaved sine of `frames` frames; channel c gets amplitude amplitudes[c]
// (missing entries are silent).
std::vector<float> make_tone(int32_t frames, int32_t channels, double rate, double frequency,
                             const std::vector<float>& amplitudes);

// Interleaved pink noise (music-like spectrum), peaks around 0.5, the same
// sequence for the same seed.
std::vector<float> make_pink_noise(int32_t frames, int32_t channels, uint32_t seed);

// Frequency of a steady tone from its zero crossings, in Hz.
double zero_crossing_frequency(const std::vector<float>& mono, double rate);

// Share of the signal's energy at `frequency` (Goertzel), between 0 and 1;
// near 1 for a pure tone at that frequency.
double tone_energy_share(const std::vector<float>& mono, double rate, double frequency);

double rms(const std::vector<float>& mono);

// The part of a signal where something plays: from the first to the last
// value above `threshold`.
std::vector<float> loud_part(const std::vector<float>& mono, float threshold = 0.05f);

// The middle of a signal, leaving out `edge` values at each end (where the
// encoder's delay and padding sit).
std::vector<float> middle(const std::vector<float>& mono, size_t edge);
