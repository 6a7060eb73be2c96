#include "signals.h"

#include <math.h>
#include <numbers>

std::vector<float> make_tone(int32_t frames, int32_t channels, double rate, double frequency,
                             const std::vector<float>& amplitudes) {
    std::vector<float> out(static_cast<size_t>(frames) * channels, 0.0f);
    for (int32_t f = 0; f < frames; ++f) {
        double s = sin(2.0 * std::numbers::pi * frequency * f / rate);
        for (int32_t c = 0; c < channels && c < static_cast<int32_t>(amplitudes.size()); ++c) {
            out[static_cast<size_t>(f) * channels + c] = static_cast<float>(amplitudes[c] * s);
        }
    }
    return out;
}

std::vector<float> make_pink_noise(int32_t frames, int32_t channels, uint32_t seed) {
    std::vector<float> out(static_cast<size_t>(frames) * channels);
    uint32_t state = seed ? seed : 1;
    for (int32_t c = 0; c < channels; ++c) {
        // Paul Kellet's economy filter over white noise from a xorshift.
        double b0 = 0, b1 = 0, b2 = 0;
        for (int32_t f = 0; f < frames; ++f) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            double white = state / 2147483648.0 - 1.0;
            b0 = 0.99765 * b0 + white * 0.0990460;
            b1 = 0.96300 * b1 + white * 0.2965164;
            b2 = 0.57000 * b2 + white * 1.0526913;
            double pink = b0 + b1 + b2 + white * 0.1848;
            out[static_cast<size_t>(f) * channels + c] = static_cast<float>(pink * 0.12);
        }
    }
    return out;
}

double zero_crossing_frequency(const std::vector<float>& mono, double rate) {
    double first = -1, last = -1;
    int crossings = 0;
    for (size_t i = 1; i < mono.size(); ++i) {
        if ((mono[i - 1] < 0) != (mono[i] < 0)) {
            // Interpolate where the signal passes zero.
            double t = (i - 1) + mono[i - 1] / (mono[i - 1] - mono[i]);
            if (first < 0) {
                first = t;
            }
            last = t;
            ++crossings;
        }
    }
    if (crossings < 3) {
        return 0;
    }
    return (crossings - 1) / 2.0 / ((last - first) / rate);
}

double tone_energy_share(const std::vector<float>& mono, double rate, double frequency) {
    if (mono.empty()) {
        return 0;
    }
    double coeff = 2.0 * cos(2.0 * std::numbers::pi * frequency / rate);
    double s1 = 0, s2 = 0, energy = 0;
    for (float x : mono) {
        double s0 = x + coeff * s1 - s2;
        s2 = s1;
        s1 = s0;
        energy += static_cast<double>(x) * x;
    }
    double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
    // A sine of amplitude A over N samples gives power (A N / 2)^2 and energy
    // A^2 N / 2, so their ratio 2 power / (N energy) is 1 for a pure tone.
    return energy > 0 ? 2.0 * power / (mono.size() * energy) : 0;
}

double rms(const std::vector<float>& mono) {
    double sum = 0;
    for (float x : mono) {
        sum += static_cast<double>(x) * x;
    }
    return mono.empty() ? 0 : sqrt(sum / mono.size());
}

std::vector<float> middle(const std::vector<float>& mono, size_t edge) {
    if (mono.size() <= 2 * edge) {
        return {};
    }
    return std::vector<float>(mono.begin() + edge, mono.end() - edge);
}

std::vector<float> loud_part(const std::vector<float>& mono, float threshold) {
    size_t first = 0, last = mono.size();
    while (first < mono.size() && fabsf(mono[first]) < threshold) {
        ++first;
    }
    while (last > first && fabsf(mono[last - 1]) < threshold) {
        --last;
    }
    return std::vector<float>(mono.begin() + first, mono.begin() + last);
}
