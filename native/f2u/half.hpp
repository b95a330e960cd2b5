// float16 <-> float32 conversions, bit for bit as numpy's casts give them.
#pragma once
#include <cstdint>
#include <cstring>

namespace f2u {

// float32 -> float16 bits, IEEE round to nearest, ties to even (same rule as
// numpy's float32 -> float16 cast, including subnormals and overflow to inf).
inline uint16_t f32_to_f16_bits(float f) {
    uint32_t x;
    std::memcpy(&x, &f, 4);
    uint16_t sgn = (uint16_t)((x & 0x80000000u) >> 16);
    uint32_t fe = x & 0x7f800000u;
    if (fe >= 0x47800000u) {
        if (fe == 0x7f800000u) {
            uint32_t sig = x & 0x007fffffu;
            if (sig != 0) {
                uint16_t r = (uint16_t)(0x7c00u + (sig >> 13));
                if (r == 0x7c00u) ++r;  // keep it a NaN
                return (uint16_t)(sgn + r);
            }
        }
        return (uint16_t)(sgn + 0x7c00u);
    }
    if (fe <= 0x38000000u) {
        if (fe < 0x33000000u) return sgn;
        uint32_t e = fe >> 23;
        uint32_t sig = 0x00800000u + (x & 0x007fffffu);
        sig >>= (113 - e);
        // Round half to even; the bits lost by the shift count as "beyond the tie".
        if (((sig & 0x00003fffu) != 0x00001000u) || (x & 0x000007ffu)) sig += 0x00001000u;
        return (uint16_t)(sgn + (uint16_t)(sig >> 13));
    }
    uint16_t he = (uint16_t)((fe - 0x38000000u) >> 13);
    uint32_t sig = x & 0x007fffffu;
    if ((sig & 0x00003fffu) != 0x00001000u) sig += 0x00001000u;
    uint16_t hs = (uint16_t)(sig >> 13);
    hs = (uint16_t)(hs + he);  // a carry out of the significand bumps the exponent
    return (uint16_t)(sgn + hs);
}

inline float f16_bits_to_f32(uint16_t h) {
    uint32_t sgn = (uint32_t)(h & 0x8000u) << 16;
    uint32_t he = h & 0x7c00u;
    uint32_t hs = h & 0x03ffu;
    uint32_t bits;
    if (he == 0) {
        if (hs == 0) {
            bits = sgn;
        } else {
            // subnormal half: normalise
            int e = -1;
            do {
                ++e;
                hs <<= 1;
            } while ((hs & 0x0400u) == 0);
            bits = sgn | ((uint32_t)(112 - e) << 23) | ((hs & 0x03ffu) << 13);
        }
    } else if (he == 0x7c00u) {
        bits = sgn | 0x7f800000u | (hs << 13);
    } else {
        bits = sgn | ((he + 0x1c000u) << 13) | (hs << 13);
    }
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

inline float f16_round(float f) { return f16_bits_to_f32(f32_to_f16_bits(f)); }

}  // namespace f2u
