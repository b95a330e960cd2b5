// Kernels of the engine adapters.
#pragma once
#include <cstddef>
#include <cstdint>

namespace op {

// int16 PCM to float32 samples in [-1, 1): sample / 32768 (exact: a power of two).
inline void pcm16_to_f32(const int16_t* in, size_t n, float* out) {
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i]) / 32768.0f;
}

// Reverse the last axis (channels) of a packed rows x c image into fresh memory:
// BGR becomes RGB.
inline void reverse_channels(const uint8_t* in, size_t pixels, size_t c, uint8_t* out) {
    if (c == 3) {
        for (size_t p = 0; p < pixels; ++p, in += 3, out += 3) {
            out[0] = in[2];
            out[1] = in[1];
            out[2] = in[0];
        }
        return;
    }
    for (size_t p = 0; p < pixels; ++p, in += c, out += c)
        for (size_t k = 0; k < c; ++k) out[k] = in[c - 1 - k];
}

}  // namespace op
