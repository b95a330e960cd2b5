// Bilinear sampling of the face renderer (see face_sample.hpp).
#include "f2u/face_sample.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace f2u {

namespace {

#define F2U_INLINE inline __attribute__((always_inline))

// a + t * (b - a): one rounding with fused multiply-add, two without. The fused
// body is compiled only into the entry points built for FMA CPUs.
template <bool FUSED>
F2U_INLINE float lerp(float a, float b, float t) {
    if constexpr (FUSED)
        return __builtin_fmaf(t, b - a, a);
    else
        return a + t * (b - a);
}

// floor for values coord_ok admits
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

template <bool FUSED>
F2U_INLINE bool warp_body(const float* const planes[3], size_t H, size_t W, const float* g, size_t npix, float* out,
                          size_t os) {
    for (size_t p = 0; p < npix; ++p) {
        // normalised -> pixel coordinates of a 512-pixel axis, float32
        const float xs = ((g[2 * p] + 1.0f) * 512.0f - 1.0f) * 0.5f;
        const float ys = ((g[2 * p + 1] + 1.0f) * 512.0f - 1.0f) * 0.5f;
        if (!coord_ok(xs) || !coord_ok(ys)) return false;
        const int ix = floor_i(xs), iy = floor_i(ys);
        const float fx = xs - (float)ix, fy = ys - (float)iy;
        const Quad q = quad(ix, iy, H, W);
        float s[12];  // the 12-channel stack at this pixel
        for (size_t k = 0; k < 3; ++k) {
            const float* P = planes[k];
            for (size_t c = 0; c < 4; ++c) {
                const float v0 = lerp<FUSED>(P[4 * q.o00 + c], P[4 * q.o01 + c], fx);
                const float v1 = lerp<FUSED>(P[4 * q.o10 + c], P[4 * q.o11 + c], fx);
                s[4 * k + c] = lerp<FUSED>(v0, v1, fy);
            }
        }
        // the interpolation correction, in this order, never contracted
        const float ax = fx * (1.0f - fx) * 0.5f;
        const float ay = fy * (1.0f - fy) * 0.5f;
        const float axy = ax * ay;
        for (size_t c = 0; c < 3; ++c) out[c * os + p] = ((s[c] - ax * s[3 + c]) - ay * s[6 + c]) + axy * s[9 + c];
    }
    return true;
}

template <bool FUSED>
F2U_INLINE void replicate_body(const float* src, size_t C, size_t h, size_t w, const float* mx, const float* my,
                               size_t npix, float* out) {
    const size_t hw = h * w;
    for (size_t p = 0; p < npix; ++p) {
        const float x = mx[p], y = my[p];
        const int ix = floor_i(x), iy = floor_i(y);
        const float fx = x - (float)ix, fy = y - (float)iy;
        const Quad q = quad(ix, iy, h, w);
        for (size_t c = 0; c < C; ++c) {
            const float* P = src + c * hw;
            const float v0 = lerp<FUSED>(P[q.o00], P[q.o01], fx);
            const float v1 = lerp<FUSED>(P[q.o10], P[q.o11], fx);
            out[p * C + c] = lerp<FUSED>(v0, v1, fy);
        }
    }
}

template <bool FUSED>
F2U_INLINE void zero_border_body(const float* src, size_t h, size_t w, const float* mx, const float* my, size_t npix,
                                 float* out) {
    const int wi = (int)w, hi = (int)h;
    for (size_t p = 0; p < npix; ++p) {
        const float x = mx[p], y = my[p];
        const int ix = floor_i(x), iy = floor_i(y);
        if (ix < -1 || ix >= wi || iy < -1 || iy >= hi) {  // no neighbour inside: the border value itself
            out[p] = 0.0f;
            continue;
        }
        const float fx = x - (float)ix, fy = y - (float)iy;
        auto at = [&](int xx, int yy) {
            return ((unsigned)xx < (unsigned)wi && (unsigned)yy < (unsigned)hi) ? src[(size_t)yy * w + (size_t)xx]
                                                                                 : 0.0f;
        };
        const float v0 = lerp<FUSED>(at(ix, iy), at(ix + 1, iy), fx);
        const float v1 = lerp<FUSED>(at(ix, iy + 1), at(ix + 1, iy + 1), fx);
        out[p] = lerp<FUSED>(v0, v1, fy);
    }
}

#define F2U_FUSED __attribute__((target("avx2,fma")))

F2U_FUSED bool warp_fused(const float* const planes[3], size_t H, size_t W, const float* g, size_t npix, float* out,
                          size_t os) {
    return warp_body<true>(planes, H, W, g, npix, out, os);
}
bool warp_plain(const float* const planes[3], size_t H, size_t W, const float* g, size_t npix, float* out,
                size_t os) {
    return warp_body<false>(planes, H, W, g, npix, out, os);
}
F2U_FUSED void replicate_fused(const float* src, size_t C, size_t h, size_t w, const float* mx, const float* my,
                               size_t npix, float* out) {
    replicate_body<true>(src, C, h, w, mx, my, npix, out);
}
void replicate_plain(const float* src, size_t C, size_t h, size_t w, const float* mx, const float* my, size_t npix,
                     float* out) {
    replicate_body<false>(src, C, h, w, mx, my, npix, out);
}
F2U_FUSED void zero_border_fused(const float* src, size_t h, size_t w, const float* mx, const float* my, size_t npix,
                                 float* out) {
    zero_border_body<true>(src, h, w, mx, my, npix, out);
}
void zero_border_plain(const float* src, size_t h, size_t w, const float* mx, const float* my, size_t npix,
                       float* out) {
    zero_border_body<false>(src, h, w, mx, my, npix, out);
}

}  // namespace

bool sample_fused() {
    // the image library dispatches its AVX2 kernels (built with FMA) on such CPUs
    static const bool yes = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return yes;
}

bool warp_cone_fused(const float* const planes[3], size_t H, size_t W, const float* g, size_t npix, float* out,
                     size_t out_stride) {
    return sample_fused() ? warp_fused(planes, H, W, g, npix, out, out_stride)
                          : warp_plain(planes, H, W, g, npix, out, out_stride);
}

void remap_replicate_chw(const float* src, size_t C, size_t h, size_t w, const float* mx, const float* my,
                         size_t npix, float* out) {
    if (sample_fused())
        replicate_fused(src, C, h, w, mx, my, npix, out);
    else
        replicate_plain(src, C, h, w, mx, my, npix, out);
}

void remap_zero_border(const float* src, size_t h, size_t w, const float* mx, const float* my, size_t npix,
                       float* out) {
    if (sample_fused())
        zero_border_fused(src, h, w, mx, my, npix, out);
    else
        zero_border_plain(src, h, w, mx, my, npix, out);
}

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

void LinearResize::hrow(const float* src, size_t sy, float* out) const {
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

void LinearResize::vrow(const float* h0, const float* h1, size_t dy, float* out) const {
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
