// WSOLA tempo change of 16 kHz mono PCM (waveform-similarity overlap-add).
//
// The encoder was trained on exactly these numbers, so every number type below is
// load-bearing: grid conversions in float64, ramps and the cross-fade in float32
// (each product and the sum rounded to float32), the search cost a float64 running
// sum in index order, ties to the earliest candidate.
#pragma once
#include <cstddef>
#include <cstdint>

#include "lumeth2/constants.hpp"

namespace l2 {

inline constexpr int64_t WSOLA_OV = SR_WSOLA_OVERLAP;                  // 192
inline constexpr int64_t WSOLA_HOP = SR_WSOLA_SEGMENT - WSOLA_OV;      // 1120
inline constexpr int64_t WSOLA_HALF = (SR_WSOLA_SEARCH - 1) / 2;       // 117
inline constexpr int64_t WSOLA_CANDIDATES = 2 * WSOLA_HALF + 1;        // 235

// Float PCM -> integer grid of +-2^24 held in float32 (multiples of 2^-24 after the
// way back). NaN stays NaN; +-inf clip to the grid's ends.
void wsola_to_buf_kernel(const float* in, float* out, size_t n);
void wsola_to_buf_kernel(const double* in, float* out, size_t n);

// Grid values (any reals) -> float PCM. In place is allowed (in == out).
void wsola_from_buf_kernel(const float* in, float* out, size_t n);
void wsola_from_buf_kernel(const double* in, float* out, size_t n);

// Output length for n input samples: floor(n / factor + 0.5), negative -> 0.
// factor must be non-zero; returns false when the double is not finite (the caller
// raises what the interpreter's int() would raise for it).
bool wsola_out_len(int64_t n, double factor, double* n_out_exact);

// The tempo change on grid samples `buf` (n values); writes n_out grid samples to
// `out` (still on the grid: the caller converts back with wsola_from_buf_kernel).
// No allocation; no Python objects.
void tempo_wsola_kernel(const float* buf, int64_t n, double factor, float* out, int64_t n_out);

}  // namespace l2
