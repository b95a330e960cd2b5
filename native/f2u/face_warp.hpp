// Per-pixel kernels of the face renderer: plane splitting, sampling maps, the
// interpolation correction of warped planes, patch placement and blending,
// and the float -> uint8 frame conversion. Plain functions over pointers and
// sizes; float32 arithmetic in the stated order wherever the result must match
// the element-wise numpy formulation to the bit (no contraction into FMA).
#pragma once
#include <cstddef>
#include <cstdint>

#include "f2u/half.hpp"

namespace f2u {

// A float16 frame element, as its bits.
struct Half {
    uint16_t bits;
};

// How a blend meets a frame element of type O: the element is read into the
// type the blend computes in, and the result is stored back in O's precision.
// float32 and float64 frames compute in their own type. A float16 frame
// computes in float32 (numpy's type for float16 under float32 operands) and
// rounds once on the store; a long double frame computes as a float64 one.
template <class O>
struct FrameArith {
    using A = O;
    static A load(O v) { return v; }
    static O store(A v) { return v; }
};
template <>
struct FrameArith<Half> {
    using A = float;
    static A load(Half v) { return f16_bits_to_f32(v.bits); }
    static Half store(A v) { return Half{f32_to_f16_bits(v)}; }
};
template <>
struct FrameArith<long double> {
    using A = double;
    static A load(long double v) { return (double)v; }
    static long double store(A v) { return v; }
};

// r = alpha * colour + (1 - alpha) * r for one element: ac = alpha * colour and
// inv = 1 - alpha are float32 values; the sum and product are in FrameArith's type.
template <class O>
inline O blend_px(float ac, float inv, O r) {
    using F = FrameArith<O>;
    using A = typename F::A;
    return F::store((A)ac + (A)inv * F::load(r));
}

// (C, H, W) channel-first planes -> three (H, W, 4) channel-last images made of
// channels 0-3, 4-7 and 8-11 (C >= 12; channels past 11 are not used).
void split_planes4(const float* chw, size_t H, size_t W, float* p0, float* p1, float* p2);

// Normalised grid (npix x 2, component 0 horizontal) -> pixel coordinates of a
// 512-pixel axis: ((g + 1) * 512 - 1) * 0.5, float32.
void grid_to_pixel_maps(const float* g, size_t npix, float* xs, float* ys);

// The interpolation correction of bilinearly sampled planes. s0, s1, s2 are the
// three remapped 4-channel images (npix x 4 each): channels 0-2 colour, 3-5 dx,
// 6-8 dy, 9-11 dxy of the 12-channel stack. With fx = xs - floor(xs),
// ax = fx * (1 - fx) * 0.5 (likewise ay):
//   out[c] = ((colour - ax * dx) - ay * dy) + (ax * ay) * dxy
// written channel-first: out[c * npix + p].
void cone_correct(const float* s0, const float* s1, const float* s2, const float* xs, const float* ys, size_t npix,
                  float* out);

// Patch placement: per output pixel, the patch column mx = (u + 1) * w * 0.5 - 0.5
// with u = g0 * sx + bx - 1 (and my from g1, sy, by, h), computed in T.
struct Box {
    size_t r0 = 0, r1 = 0, c0 = 0, c1 = 0;
    bool any = false;
};
template <class T>
Box patch_box(const T* gm, size_t H, size_t W, double sx, double bx, double sy, double by, size_t w, size_t h);
// The patch maps over the box, float32, contiguous (box rows x box columns).
template <class T>
void patch_maps(const T* gm, size_t W, const Box& b, double sx, double bx, double sy, double by, size_t w, size_t h,
                float* mx, float* my);

// region = alpha * colour + (1 - alpha) * region over the box of the frame o
// (channel-first, element strides s_c, s_y, s_x). alpha: box pixels; colour:
// box pixels x C interleaved. alpha * colour is a float32 product (as numpy
// forms it) before it meets o's element type.
template <class T>
void blend_box(T* o, ptrdiff_t s_c, ptrdiff_t s_y, ptrdiff_t s_x, size_t C, const Box& b, const float* alpha,
               const float* colour);

// Frames (n, C, H, W) of float values nominally in [-1, 1] (element strides) ->
// uint8 (n, H, W, C): clip to [-1, 1], + 1, * 127.5, round half to even, clip
// to [0, 255]. NaN becomes 0 (never cast to an integer).
template <class T>
void frames_to_u8(const T* o, size_t n, size_t C, size_t H, size_t W, const ptrdiff_t* strides, uint8_t* out);

}  // namespace f2u
