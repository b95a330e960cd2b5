// Bilinear sampling of the face renderer done here instead of through the
// image library, to the same bits: its remap (INTER_LINEAR, float32 images,
// float32 maps) and resize (INTER_LINEAR, float32). Plain functions over
// pointers and sizes, no allocation per pixel, callable with the GIL released.
//
// Number rules that make the results equal:
// - remap: ix = floor(x), fx = x - ix in float32; per channel
//   v0 = p00 + fx * (p01 - p00), v1 = p10 + fx * (p11 - p10), v = v0 + fy * (v1 - v0),
//   each step one fused multiply-add where the library's vector kernels fuse it
//   (CPUs with FMA), else a product and a sum. Replicated border clamps every
//   neighbour; constant border gives the border value beyond one pixel of the
//   image and the value for each neighbour outside it.
// - resize: source position (d + 0.5) * scale - 0.5 computed in double, cast to
//   float32; horizontal weights (1 - f, f) with the position clamped to the
//   image, vertical weights unclamped over replicated rows; products summed in
//   float32 without fusing.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "f2u/face_warp.hpp"

namespace f2u {

// The remap arithmetic of the kernels below: fused multiply-adds (only on CPUs
// that have them) or separate products and sums. The image library picks its
// kernels at run time, and its dispatch can be narrowed (an environment
// setting, a build), so the renderer checks both against it and keeps the one
// that agrees; until then the CPU's own choice.
bool sample_fused();
bool sample_fused_available();
void set_sample_fused(bool fused);  // for every thread; fused only where available
// For the calling thread only, while this lives: kernels run with `fused`, so a
// check can try an arithmetic without changing what other threads run.
struct SampleArithScope {
    explicit SampleArithScope(bool fused);
    ~SampleArithScope();
    SampleArithScope(const SampleArithScope&) = delete;
    SampleArithScope& operator=(const SampleArithScope&) = delete;
};

// Coordinates the kernels take: finite and well inside the int32 range. The
// callers fall back to the image library for anything else.
inline bool coord_ok(float v) { return v > -1.0e9f && v < 1.0e9f; }

// Which source rows a resize's two scratch rows hold.
struct ResizeCursor {
    int have[2] = {-1, -1};
};

// The horizontal and vertical coefficient tables of one resize, made once per
// size pair and shared by every row.
struct LinearResize {
    size_t Hs = 0, Ws = 0, Hd = 0, Wd = 0, cn = 0;
    std::vector<int> xofs;     // first source column per output column
    std::vector<float> alpha;  // (1 - f, f) per output column
    size_t xmax = 0;           // from here on a column reads one source pixel
    std::vector<int> y0, y1;   // source rows per output row (replicated)
    std::vector<float> beta;   // (1 - f, f) per output row
    LinearResize(size_t Hs, size_t Ws, size_t Hd, size_t Wd, size_t cn);
    // One horizontally resized source row (Wd * cn values).
    void hrow(const float* src, size_t sy, float* __restrict out) const;
    // Output row dy from the horizontally resized rows of y0[dy] and y1[dy].
    void vrow(const float* h0, const float* h1, size_t dy, float* __restrict out) const;
    // Output rows dy0 .. dy1 - 1 (Wd x cn each) into dst; `scratch` holds
    // 2 * Wd * cn floats and `cur` which source rows it holds, so consecutive
    // calls over one image resize each source row once.
    void rows(const float* src, size_t dy0, size_t dy1, float* dst, float* scratch, ResizeCursor& cur) const;
};


// The interpolation-corrected warp of three 4-channel float32 images (H x W x 4,
// channel-last) at the pixel positions of the normalised grid g (npix x 2):
// the remap of each image with replicated border and the correction, fused, per
// pixel, written channel-first into out[c * out_stride + p]. Returns false,
// writing nothing more, at the first grid value whose position coord_ok refuses.
bool warp_cone_fused(const float* const planes[3], size_t H, size_t W, const float* g, size_t npix, float* out,
                     size_t out_stride);

// remap of a channel-first float32 image (C x h x w) at the maps mx, my (npix
// each), replicated border, written channel-last (npix x C).
void remap_replicate_chw(const float* src, size_t C, size_t h, size_t w, const float* mx, const float* my,
                         size_t npix, float* out);
// remap of one float32 plane (h x w) with constant border 0.
void remap_zero_border(const float* src, size_t h, size_t w, const float* mx, const float* my, size_t npix,
                       float* out);

// Both remaps of a patch and its blend in one pass over the box rows r0 .. r1 - 1,
// columns c0 .. c1 - 1 of the channel-first frame o (element strides s_c, s_y,
// s_x): alpha from `mask` (h x w, zero border), colour from `rgb` (C x h x w,
// replicated border), both at the maps mx, my (box pixels, row-major), then
// region = alpha * colour + (1 - alpha) * region, alpha * colour and 1 - alpha
// rounded to float32 first, the rest as blend_px does for O.
template <class O>
void paste_blend(O* o, ptrdiff_t s_c, ptrdiff_t s_y, ptrdiff_t s_x, size_t r0, size_t r1, size_t c0, size_t c1,
                 const float* mx, const float* my, const float* mask, const float* rgb, size_t C, size_t h, size_t w);

}  // namespace f2u
