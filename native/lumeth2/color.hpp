// Per-channel colour correction (model colours -> live-driver colours): a 3 x 256
// table, or a gain/bias pair that is folded into such a table for uint8 pixels.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/py.hpp"

namespace l2 {

// One 256-entry table per channel, R, G, B.
struct ChannelTables {
    uint8_t t[3][256];
};

// packed RGB888 pixels: out[3p + c] = tables.t[c][in[3p + c]]; in == out allowed.
void color_lut_packed(const uint8_t* in, uint8_t* out, size_t pixels, const ChannelTables& tables);

// Gain/bias folded into tables: t[c][v] = byte(float(v) * gain[c] + bias[c]), the
// product and the sum in float32, clipped to [0, 255], truncated toward zero.
// A NaN result (non-finite gain or bias) becomes 0.
void color_gain_bias_tables(const float gain[3], const float bias[3], ChannelTables& tables);

// The byte a float32 value becomes after clipping to [0, 255] and truncating; NaN -> 0.
inline uint8_t clip_trunc_u8(float v) {
    if (!(v > 0.0f)) return 0;  // also NaN
    if (v >= 255.0f) return 255;
    return static_cast<uint8_t>(v);
}

// The tables a correction object applies to uint8 pixels, when its attributes have
// the types the parser guarantees; false otherwise (callers then go through the
// array library). `is_lut` tells which kind it was.
bool color_tables_of(nb::handle cc, ChannelTables& tables, bool* is_lut);

// The correction object (`ColorCorrect`): five read-only attributes, stored as given.
struct ColorCorrect {
    nb::object kind, lut, gain, bias, source;

    // The Python references, for cycle collection (the constructor stores any objects).
    template <class F>
    void each(F f) {
        f(kind), f(lut), f(gain), f(bias), f(source);
    }
};

// The kind test every operation uses: kind == "lut".
bool color_kind_is_lut(nb::handle cc);

}  // namespace l2
