// Per-pixel kernels of the face renderer (see face_warp.hpp).
#include "f2u/face_warp.hpp"

#include <emmintrin.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

namespace f2u {

void split_planes4(const float* chw, size_t H, size_t W, float* p0, float* p1, float* p2) {
    const size_t hw = H * W;
    float* dst[3] = {p0, p1, p2};
    for (size_t q = 0; q < 3; ++q) {
        float* o = dst[q];
        const float* c0 = chw + (4 * q) * hw;
        for (size_t p = 0; p < hw; ++p) {
            o[4 * p + 0] = c0[p];
            o[4 * p + 1] = c0[hw + p];
            o[4 * p + 2] = c0[2 * hw + p];
            o[4 * p + 3] = c0[3 * hw + p];
        }
    }
}

void grid_to_pixel_maps(const float* g, size_t npix, float* xs, float* ys) {
    for (size_t p = 0; p < npix; ++p) {
        xs[p] = ((g[2 * p] + 1.0f) * 512.0f - 1.0f) * 0.5f;
        ys[p] = ((g[2 * p + 1] + 1.0f) * 512.0f - 1.0f) * 0.5f;
    }
}

// floor of a float, exactly; without SSE4.1 std::floor is a library call per
// pixel, so the common range goes through an integer truncation instead.
static inline float floor_f(float x) {
    if (x > -2147483520.0f && x < 2147483520.0f) {
        const float t = (float)(int32_t)x;  // truncation toward zero, exact in this range
        if (t == x) return x;  // integral (keeps the sign of -0.0)
        return t > x ? t - 1.0f : t;
    }
    return std::floor(x);  // huge values, infinities, NaN
}

void cone_correct(const float* s0, const float* s1, const float* s2, const float* xs, const float* ys, size_t npix,
                  float* out) {
    for (size_t p = 0; p < npix; ++p) {
        const float fx = xs[p] - floor_f(xs[p]);
        const float fy = ys[p] - floor_f(ys[p]);
        const float ax = fx * (1.0f - fx) * 0.5f;
        const float ay = fy * (1.0f - fy) * 0.5f;
        const float axy = ax * ay;
        // stack channel k lives in image k / 4, lane k % 4
        const float* a = s0 + 4 * p;  // colour 0-2, dx 0
        const float* b = s1 + 4 * p;  // dx 1-2, dy 0-1
        const float* c = s2 + 4 * p;  // dy 2, dxy 0-2
        const float col[3] = {a[0], a[1], a[2]};
        const float dx[3] = {a[3], b[0], b[1]};
        const float dy[3] = {b[2], b[3], c[0]};
        const float dxy[3] = {c[1], c[2], c[3]};
        for (int k = 0; k < 3; ++k) out[k * npix + p] = ((col[k] - ax * dx[k]) - ay * dy[k]) + axy * dxy[k];
    }
}

template <class T>
static inline T patch_coord(T g, T s, T b, T n) {
    const T u = (g * s + b) - T(1);
    return ((u + T(1)) * n) * T(0.5) - T(0.5);
}

// Rows r0 .. r1 - 1 and columns c0 .. c1 - 1 of the in-bounds pixels.
struct BoxScan {
    size_t r0, r1, c0, c1;
    void add_row(size_t y, size_t first, size_t last) {  // last inclusive
        if (y < r0) r0 = y;
        r1 = y + 1;
        if (first < c0) c0 = first;
        if (last + 1 > c1) c1 = last + 1;
    }
};

template <class T>
Box patch_box(const T* gm, size_t H, size_t W, double sx, double bx, double sy, double by, size_t w, size_t h) {
    const T Sx = (T)sx, Bx = (T)bx, Sy = (T)sy, By = (T)by, Tw = (T)w, Th = (T)h;
    BoxScan sc{H, 0, W, 0};
    for (size_t y = 0; y < H; ++y) {
        const T* row = gm + 2 * W * y;
        size_t x = 0, first = W, last = 0;
        if constexpr (std::is_same_v<T, float>) {
            // four pixels a step, the same float32 operations in the same order
            const __m128 vsx = _mm_set1_ps(Sx), vbx = _mm_set1_ps(Bx), vsy = _mm_set1_ps(Sy), vby = _mm_set1_ps(By);
            const __m128 vw = _mm_set1_ps(Tw), vh = _mm_set1_ps(Th), one = _mm_set1_ps(1.0f), m1 = _mm_set1_ps(-1.0f);
            const __m128 half = _mm_set1_ps(0.5f);
            for (; x + 4 <= W; x += 4) {
                const __m128 a = _mm_loadu_ps(row + 2 * x), b = _mm_loadu_ps(row + 2 * x + 4);
                const __m128 gx = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
                const __m128 gy = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
                const __m128 ux = _mm_sub_ps(_mm_add_ps(_mm_mul_ps(gx, vsx), vbx), one);
                const __m128 uy = _mm_sub_ps(_mm_add_ps(_mm_mul_ps(gy, vsy), vby), one);
                const __m128 mx = _mm_sub_ps(_mm_mul_ps(_mm_mul_ps(_mm_add_ps(ux, one), vw), half), half);
                const __m128 my = _mm_sub_ps(_mm_mul_ps(_mm_mul_ps(_mm_add_ps(uy, one), vh), half), half);
                const __m128 in = _mm_and_ps(_mm_and_ps(_mm_cmpgt_ps(mx, m1), _mm_cmplt_ps(mx, vw)),
                                             _mm_and_ps(_mm_cmpgt_ps(my, m1), _mm_cmplt_ps(my, vh)));
                const int bits = _mm_movemask_ps(in);
                if (bits) {
                    if (first == W) first = x + (size_t)__builtin_ctz((unsigned)bits);
                    last = x + 31 - (size_t)__builtin_clz((unsigned)bits);
                }
            }
        }
        for (; x < W; ++x) {
            const T mx = patch_coord(row[2 * x], Sx, Bx, Tw);
            const T my = patch_coord(row[2 * x + 1], Sy, By, Th);
            // the bilinear sample touches at least one patch pixel
            if (mx > T(-1) && mx < Tw && my > T(-1) && my < Th) {
                if (first == W) first = x;
                last = x;
            }
        }
        if (first < W) sc.add_row(y, first, last);
    }
    Box b;
    if (sc.r1 > 0) {
        b.any = true;
        b.r0 = sc.r0;
        b.r1 = sc.r1;
        b.c0 = sc.c0;
        b.c1 = sc.c1;
    }
    return b;
}

template <class T>
void patch_maps(const T* gm, size_t W, const Box& b, double sx, double bx, double sy, double by, size_t w, size_t h,
                float* mx, float* my) {
    const T Sx = (T)sx, Bx = (T)bx, Sy = (T)sy, By = (T)by, Tw = (T)w, Th = (T)h;
    const size_t bw = b.c1 - b.c0;
    for (size_t y = b.r0; y < b.r1; ++y) {
        const T* row = gm + 2 * W * y;
        float* ox = mx + (y - b.r0) * bw;
        float* oy = my + (y - b.r0) * bw;
        for (size_t x = b.c0; x < b.c1; ++x) {
            ox[x - b.c0] = (float)patch_coord(row[2 * x], Sx, Bx, Tw);
            oy[x - b.c0] = (float)patch_coord(row[2 * x + 1], Sy, By, Th);
        }
    }
}

template <class T>
void blend_box(T* o, ptrdiff_t s_c, ptrdiff_t s_y, ptrdiff_t s_x, size_t C, const Box& b, const float* alpha,
               const float* colour) {
    const size_t bw = b.c1 - b.c0;
    for (size_t c = 0; c < C; ++c)
        for (size_t y = b.r0; y < b.r1; ++y) {
            T* orow = o + (ptrdiff_t)c * s_c + (ptrdiff_t)y * s_y;
            const size_t prow = (y - b.r0) * bw;
            for (size_t x = b.c0; x < b.c1; ++x) {
                const size_t p = prow + (x - b.c0);
                const float a = alpha[p];
                const float ac = a * colour[p * C + c];
                const float inv = 1.0f - a;
                T& r = orow[(ptrdiff_t)x * s_x];
                r = blend_px<T>(ac, inv, r);
            }
        }
}

// Round half to even of 0 <= v <= 255 without a library call: adding and
// taking away 2^23 (2^52 for double) leaves the integer the current rounding
// mode (to nearest, ties to even) picks, as nearbyint would. Strict IEEE
// arithmetic (no fast-math) keeps the compiler from folding it away.
inline float round_even(float v) { return (v + 8388608.0f) - 8388608.0f; }
inline double round_even(double v) { return (v + 4503599627370496.0) - 4503599627370496.0; }

// One value to its byte: NaN -> 0, clip to [-1, 1], (v + 1) * 127.5 rounded
// half to even (already within [0, 255]). Written without branches so rows vectorise.
template <class T>
inline uint8_t to_byte(T v) {
    v = v == v ? v : T(-1);  // NaN becomes 0, never an integer cast of NaN
    v = v < T(-1) ? T(-1) : v;
    v = v > T(1) ? T(1) : v;
    v = round_even((v + T(1)) * T(127.5));
    return (uint8_t)(int)v;
}

// A contiguous row of bytes from a row of values.
template <class T>
inline void row_to_bytes(const T* src, size_t W, uint8_t* t) {
    size_t x = 0;
    if constexpr (std::is_same_v<T, float>) {
        // sixteen values a step; the conversion rounds half to even (the default
        // rounding mode), as round_even does, on values already in [0, 255]
        const __m128 lo = _mm_set1_ps(-1.0f), hi = _mm_set1_ps(1.0f), k = _mm_set1_ps(127.5f);
        for (; x + 16 <= W; x += 16) {
            __m128i q[4];
            for (int j = 0; j < 4; ++j) {
                __m128 v = _mm_loadu_ps(src + x + 4 * j);
                const __m128 ord = _mm_cmpord_ps(v, v);  // NaN -> -1 -> byte 0
                v = _mm_or_ps(_mm_and_ps(ord, v), _mm_andnot_ps(ord, lo));
                v = _mm_min_ps(_mm_max_ps(v, lo), hi);
                q[j] = _mm_cvtps_epi32(_mm_mul_ps(_mm_add_ps(v, hi), k));
            }
            const __m128i w = _mm_packus_epi16(_mm_packs_epi32(q[0], q[1]), _mm_packs_epi32(q[2], q[3]));
            _mm_storeu_si128((__m128i*)(t + x), w);
        }
    }
    for (; x < W; ++x) t[x] = to_byte<T>(src[x]);
}

template <class T>
void frames_to_u8(const T* o, size_t n, size_t C, size_t H, size_t W, const ptrdiff_t* st, uint8_t* out) {
    std::vector<uint8_t> tmp(st[3] == 1 ? C * W : 0);
    for (size_t i = 0; i < n; ++i)
        for (size_t y = 0; y < H; ++y) {
            uint8_t* orow = out + ((i * H + y) * W) * C;
            if (st[3] == 1) {  // rows contiguous per channel: bytes per channel, then interleave
                for (size_t c = 0; c < C; ++c) {
                    const T* src = o + (ptrdiff_t)i * st[0] + (ptrdiff_t)c * st[1] + (ptrdiff_t)y * st[2];
                    row_to_bytes<T>(src, W, tmp.data() + c * W);
                }
                if (C == 3 && W > 0) {
                    const uint8_t *t0 = tmp.data(), *t1 = t0 + W, *t2 = t1 + W;
                    // one 4-byte store per pixel; its fourth byte is overwritten by the next pixel
                    for (size_t x = 0; x + 1 < W; ++x) {
                        const uint32_t v = (uint32_t)t0[x] | ((uint32_t)t1[x] << 8) | ((uint32_t)t2[x] << 16);
                        std::memcpy(orow + 3 * x, &v, 4);
                    }
                    orow[3 * (W - 1)] = t0[W - 1];
                    orow[3 * (W - 1) + 1] = t1[W - 1];
                    orow[3 * (W - 1) + 2] = t2[W - 1];
                } else {
                    for (size_t c = 0; c < C; ++c)
                        for (size_t x = 0; x < W; ++x) orow[x * C + c] = tmp[c * W + x];
                }
                continue;
            }
            for (size_t c = 0; c < C; ++c) {
                const T* src = o + (ptrdiff_t)i * st[0] + (ptrdiff_t)c * st[1] + (ptrdiff_t)y * st[2];
                for (size_t x = 0; x < W; ++x) orow[x * C + c] = to_byte<T>(src[(ptrdiff_t)x * st[3]]);
            }
        }
}

template Box patch_box<float>(const float*, size_t, size_t, double, double, double, double, size_t, size_t);
template Box patch_box<double>(const double*, size_t, size_t, double, double, double, double, size_t, size_t);
template void patch_maps<float>(const float*, size_t, const Box&, double, double, double, double, size_t, size_t,
                                float*, float*);
template void patch_maps<double>(const double*, size_t, const Box&, double, double, double, double, size_t, size_t,
                                 float*, float*);
template void blend_box<float>(float*, ptrdiff_t, ptrdiff_t, ptrdiff_t, size_t, const Box&, const float*,
                               const float*);
template void blend_box<double>(double*, ptrdiff_t, ptrdiff_t, ptrdiff_t, size_t, const Box&, const float*,
                                const float*);
template void blend_box<Half>(Half*, ptrdiff_t, ptrdiff_t, ptrdiff_t, size_t, const Box&, const float*,
                              const float*);
template void blend_box<long double>(long double*, ptrdiff_t, ptrdiff_t, ptrdiff_t, size_t, const Box&,
                                     const float*, const float*);
template void frames_to_u8<float>(const float*, size_t, size_t, size_t, size_t, const ptrdiff_t*, uint8_t*);
template void frames_to_u8<double>(const double*, size_t, size_t, size_t, size_t, const ptrdiff_t*, uint8_t*);

}  // namespace f2u
