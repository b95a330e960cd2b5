// Kernels of the streaming motion steppers (DetS, HeadL).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace f2u {

// Token-model window of DetS: `toks` (n <= W tokens, C x 3 x 768 float32 each,
// oldest first) fill the last n x C frames of `feat` (W x C x 3 x 768, zeroed
// first); `hist` (<= n entries of CF values, oldest first) fill the last
// window positions of `hwin` (W x CF) and mark them in `valid`; `tokv` marks
// the last n positions.
void dets_assemble(const std::vector<const float*>& toks, size_t W, size_t C, const std::vector<const float*>& hist,
                   size_t CF, float* feat, float* hwin, bool* valid, bool* tokv);

// One track sampled at four frames: out[r] = sum_i w[r, i] * sl[j0[r] + i],
// float64, summed in i order. w: (4, q + 1); sl: control-point rows (x3).
void headl_sample(const double* w, size_t q, const double* sl, const int64_t* j0, double* out);

}  // namespace f2u
