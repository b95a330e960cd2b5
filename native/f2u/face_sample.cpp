// Bilinear sampling of the face renderer (see face_sample.hpp).
#include "f2u/face_sample.hpp"

#include <immintrin.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>

#define F2U_INLINE inline __attribute__((always_inline))

namespace f2u {

namespace {

F2U_INLINE int floor_i(float x) {
    const int t = (int)x;
    return t - (x < (float)t ? 1 : 0);
}

F2U_INLINE size_t clamp_i(int v, int n) { return (size_t)(v < 0 ? 0 : (v >= n ? n - 1 : v)); }

// The four neighbour pixel indices of (ix, iy), replicated at the border.
struct Quad {
    size_t o00, o01, o10, o11;
};
F2U_INLINE Quad quad(int ix, int iy, size_t H, size_t W) {
    const int Wi = (int)W, Hi = (int)H;
    if ((unsigned)ix < (unsigned)(Wi - 1) && (unsigned)iy < (unsigned)(Hi - 1)) {
        const size_t o = (size_t)iy * W + (size_t)ix;
        return {o, o + 1, o + W, o + W + 1};
    }
    const size_t x0 = clamp_i(ix, Wi), x1 = clamp_i(ix + 1, Wi), y0 = clamp_i(iy, Hi), y1 = clamp_i(iy + 1, Hi);
    return {y0 * W + x0, y0 * W + x1, y1 * W + x0, y1 * W + x1};
}

}  // namespace

// The kernels twice: with fused multiply-adds for CPUs that have them (the
// library's AVX2 kernels fuse), and with separate products and sums.
namespace fused {
#pragma GCC push_options
#pragma GCC target("avx2,fma")
#define F2U_LERP4(a, b, t) _mm_fmadd_ps(t, _mm_sub_ps(b, a), a)
#define F2U_LERP1(a, b, t) __builtin_fmaf(t, (b) - (a), a)
#include "f2u/face_sample_kernels.inc"
#undef F2U_LERP4
#undef F2U_LERP1
#pragma GCC pop_options
}  // namespace fused

namespace plain {
#define F2U_LERP4(a, b, t) _mm_add_ps(a, _mm_mul_ps(t, _mm_sub_ps(b, a)))
#define F2U_LERP1(a, b, t) ((a) + (t) * ((b) - (a)))
#include "f2u/face_sample_kernels.inc"
#undef F2U_LERP4
#undef F2U_LERP1
}  // namespace plain

namespace {
// -1: no override on this thread; else 0 (plain) or 1 (fused)
thread_local int t_arith = -1;
// -1: the CPU's own choice (the library dispatches its AVX2 kernels, built with
// FMA, on CPUs that have both); else what set_sample_fused chose
std::atomic<int> g_fused{-1};
}  // namespace

bool sample_fused_available() {
    static const bool yes = [] {
        __builtin_cpu_init();  // may run before the constructors that would do it
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    }();
    return yes;
}

bool sample_fused() {
    if (t_arith >= 0) return t_arith == 1;
    const int g = g_fused.load(std::memory_order_relaxed);
    return g >= 0 ? g == 1 : sample_fused_available();
}

void set_sample_fused(bool fused) { g_fused.store(fused && sample_fused_available() ? 1 : 0, std::memory_order_relaxed); }

SampleArithScope::SampleArithScope(bool fused) { t_arith = (fused && sample_fused_available()) ? 1 : 0; }
SampleArithScope::~SampleArithScope() { t_arith = -1; }

bool warp_cone_fused(const float* const planes[3], size_t H, size_t W, const float* g, size_t npix, float* out,
                     size_t out_stride) {
    return sample_fused() ? fused::warp(planes, H, W, g, npix, out, out_stride)
                          : plain::warp(planes, H, W, g, npix, out, out_stride);
}

void remap_replicate_chw(const float* src, size_t C, size_t h, size_t w, const float* mx, const float* my,
                         size_t npix, float* out) {
    if (sample_fused())
        fused::replicate(src, C, h, w, mx, my, npix, out);
    else
        plain::replicate(src, C, h, w, mx, my, npix, out);
}

void remap_zero_border(const float* src, size_t h, size_t w, const float* mx, const float* my, size_t npix,
                       float* out) {
    if (sample_fused())
        fused::zero_border(src, h, w, mx, my, npix, out);
    else
        plain::zero_border(src, h, w, mx, my, npix, out);
}

template <class O>
void paste_blend(O* o, ptrdiff_t s_c, ptrdiff_t s_y, ptrdiff_t s_x, size_t r0, size_t r1, size_t c0, size_t c1,
                 const float* mx, const float* my, const float* mask, const float* rgb, size_t C, size_t h, size_t w) {
    if (sample_fused())
        fused::paste_box<O>(o, s_c, s_y, s_x, r0, r1, c0, c1, mx, my, mask, rgb, C, h, w);
    else
        plain::paste_box<O>(o, s_c, s_y, s_x, r0, r1, c0, c1, mx, my, mask, rgb, C, h, w);
}
template void paste_blend<float>(float*, ptrdiff_t, ptrdiff_t, ptrdiff_t, size_t, size_t, size_t, size_t,
                                 const float*, const float*, const float*, const float*, size_t, size_t, size_t);
template void paste_blend<double>(double*, ptrdiff_t, ptrdiff_t, ptrdiff_t, size_t, size_t, size_t, size_t,
                                  const float*, const float*, const float*, const float*, size_t, size_t, size_t);
template void paste_blend<Half>(Half*, ptrdiff_t, ptrdiff_t, ptrdiff_t, size_t, size_t, size_t, size_t,
                                const float*, const float*, const float*, const float*, size_t, size_t, size_t);
template void paste_blend<long double>(long double*, ptrdiff_t, ptrdiff_t, ptrdiff_t, size_t, size_t, size_t, size_t,
                                       const float*, const float*, const float*, const float*, size_t, size_t,
                                       size_t);

// ---- resize ----------------------------------------------------------------------

LinearResize::LinearResize(size_t Hs_, size_t Ws_, size_t Hd_, size_t Wd_, size_t cn_)
    : Hs(Hs_), Ws(Ws_), Hd(Hd_), Wd(Wd_), cn(cn_) {
    const double scale_x = 1.0 / ((double)Wd / (double)Ws), scale_y = 1.0 / ((double)Hd / (double)Hs);
    xofs.resize(Wd);
    alpha.resize(2 * Wd);
    xmax = Wd;
    for (size_t dx = 0; dx < Wd; ++dx) {
        float fx = (float)(((double)dx + 0.5) * scale_x - 0.5);
        int sx = (int)std::floor(fx);
        fx -= (float)sx;
        if (sx < 0) fx = 0.0f, sx = 0;
        if ((size_t)(sx + 1) >= Ws) {
            xmax = std::min(xmax, dx);
            if ((size_t)sx >= Ws - 1) fx = 0.0f, sx = (int)Ws - 1;
        }
        xofs[dx] = sx;
        alpha[2 * dx] = 1.0f - fx;
        alpha[2 * dx + 1] = fx;
    }
    y0.resize(Hd);
    y1.resize(Hd);
    beta.resize(2 * Hd);
    for (size_t dy = 0; dy < Hd; ++dy) {
        float fy = (float)(((double)dy + 0.5) * scale_y - 0.5);
        const int sy = (int)std::floor(fy);
        fy -= (float)sy;
        y0[dy] = (int)clamp_i(sy, (int)Hs);
        y1[dy] = (int)clamp_i(sy + 1, (int)Hs);
        beta[2 * dy] = 1.0f - fy;
        beta[2 * dy + 1] = fy;
    }
}

void LinearResize::hrow(const float* src, size_t sy, float* __restrict out) const {
    const float* S = src + sy * Ws * cn;
    size_t dx = 0;
    for (; dx < xmax; ++dx) {
        const float a0 = alpha[2 * dx], a1 = alpha[2 * dx + 1];
        const float* s = S + (size_t)xofs[dx] * cn;
        for (size_t k = 0; k < cn; ++k) out[dx * cn + k] = s[k] * a0 + s[k + cn] * a1;
    }
    for (; dx < Wd; ++dx) {  // past the last pair: the edge pixel alone
        const float a0 = alpha[2 * dx];
        const float* s = S + (size_t)xofs[dx] * cn;
        for (size_t k = 0; k < cn; ++k) out[dx * cn + k] = s[k] * a0;
    }
}

void LinearResize::vrow(const float* h0, const float* h1, size_t dy, float* __restrict out) const {
    const float b0 = beta[2 * dy], b1 = beta[2 * dy + 1];
    const size_t n = Wd * cn;
    for (size_t i = 0; i < n; ++i) out[i] = h0[i] * b0 + h1[i] * b1;
}

void LinearResize::rows(const float* src, size_t dy0, size_t dy1, float* dst, float* scratch,
                        ResizeCursor& cur) const {
    const size_t n = Wd * cn;
    if (Hs == Hd && Ws == Wd) {  // same size: the library copies
        std::memcpy(dst, src + dy0 * n, (dy1 - dy0) * n * sizeof(float));
        return;
    }
    float* bufs[2] = {scratch, scratch + n};
    auto held = [&](int r) { return cur.have[0] == r ? 0 : (cur.have[1] == r ? 1 : -1); };
    for (size_t dy = dy0; dy < dy1; ++dy) {
        int s0 = held(y0[dy]);
        if (s0 < 0) {
            s0 = held(y1[dy]) == 0 ? 1 : 0;  // keep the row the second source row may reuse
            hrow(src, (size_t)y0[dy], bufs[s0]);
            cur.have[s0] = y0[dy];
        }
        int s1 = held(y1[dy]);
        if (s1 < 0) {
            s1 = 1 - s0;
            hrow(src, (size_t)y1[dy], bufs[s1]);
            cur.have[s1] = y1[dy];
        }
        vrow(bufs[s0], bufs[s1], dy, dst + (dy - dy0) * n);
    }
}

}  // namespace f2u
