// Audio intake kernels: float samples to 16-bit PCM.
#pragma once
#include <cstddef>
#include <cstdint>

namespace op {

// Clip each sample to [-1, 1], scale by 32767 and truncate toward zero, in the
// sample's own type F (float for float32 input, double for float64): the product is
// rounded in F before truncation, which decides samples near an integer boundary.
// NaN becomes 0 (never cast to an integer).
template <class F>
inline void pcm_from_float(const F* x, size_t n, int16_t* out) {
    for (size_t i = 0; i < n; ++i) {
        F v = x[i];
        if (v != v) {
            out[i] = 0;
            continue;
        }
        if (v > F(1)) v = F(1);
        if (v < F(-1)) v = F(-1);
        F s = v * F(32767.0);
        out[i] = static_cast<int16_t>(static_cast<int32_t>(s));  // |s| <= 32767: exact truncation
    }
}

}  // namespace op
