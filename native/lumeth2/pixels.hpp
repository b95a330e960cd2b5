// Planar float frames (3, H, W) in [0, 1] -> packed RGB888 (H, W, 3).
//
// Conversion rule: value * 255 in the input's own precision, clip to [0, 255],
// truncate toward zero. A NaN value becomes byte 0 (on the fast path the frame
// keeps the NaN, as the array library's in-place clip leaves it).
#pragma once
#include <cstddef>
#include <cstdint>

#include "lumeth2/color.hpp"

namespace l2 {

// Fast path: one float32 frame of (3, FH, FW) with the given byte strides is scaled
// and clipped in place, truncated into `planar` (3 x FH x FW bytes, per-thread
// scratch), mapped through `tables` when given, and transposed into
// `out` (FH x FW x 3 bytes). No allocation.
void px_fast_frame(char* f, ptrdiff_t s_c, ptrdiff_t s_h, ptrdiff_t s_w, uint8_t* planar,
                   const ChannelTables* tables, uint8_t* out);

// Read-only conversion of a (3, H, W) frame of float or double with byte strides into
// packed bytes `out` (H x W x 3); the product is taken in the input's precision.
void px_pack_frame_f32(const char* src, ptrdiff_t s_c, ptrdiff_t s_h, ptrdiff_t s_w, int64_t H,
                       int64_t W, uint8_t* out);
void px_pack_frame_f64(const char* src, ptrdiff_t s_c, ptrdiff_t s_h, ptrdiff_t s_w, int64_t H,
                       int64_t W, uint8_t* out);

// Ranges of a batch: step = ceil(n / w); [lo, min(lo + step, n)) for lo = 0, step, ...
int64_t px_range_step(int64_t n, int64_t w);

}  // namespace l2
