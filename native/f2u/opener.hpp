// Kernels of the motion opener (F3COpen, F3XBOpen).
#pragma once
#include <cstddef>
#include <cstdint>

namespace f2u {

// Means over the feature windows of evaluated row t: for window w = (a, b),
// rows lo .. hi - 1 with lo, hi clamped to [0, n], divided by max(hi - lo, 1),
// from prefix sums cs (rows x K, row i - cb = sum of feature rows below i).
// out: nw x K values. The caller has checked every row index against cs.
void opener_window_means(const double* cs, int64_t cb, size_t K, const int64_t* aw, size_t nw,
                         int64_t t, int64_t n, double* out);

// Key index for one eye and row: the first smallest distance, kept at `prev`
// (>= 0; -1 for none) while dist[prev] <= dist[best] / ehyst.
int64_t opener_pick(const double* dist, size_t E, int64_t prev, double ehyst);

}  // namespace f2u
