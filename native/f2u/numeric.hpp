// Numeric kernels of the f2u sources: plain functions over pointers and sizes.
// Number types and the order of operations are part of each result.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/py.hpp"
#include "f2u/half.hpp"

namespace f2u {

void f16rt_kernel(const float* x, float* out, size_t n);

// numpy's pairwise summation of a contiguous float64 run (add.reduce order).
double pairwise_sum(const double* a, size_t n);

// Standardisation of a window: float64 mean and variance, float32 scale.
void zscore_kernel(const double* x, float* out, size_t n);

// np.interp over float64 knots (xp strictly the numpy algorithm, including its
// guessed bisection, so repeated knots resolve as numpy resolves them).
// np_ >= 1: numpy refuses empty knots, so callers raise before calling.
void interp_kernel(const double* x, size_t nx, const double* xp, const double* fp, size_t np_,
                   double* out);

}  // namespace f2u
