// The extension module is built for size (-Os), which turns off the loop
// vectorisation the numeric kernels rely on. Kernels sit between these markers to
// be optimised for speed instead; contraction into FMA stays off, so the float
// results do not change.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
#define L2_KERNELS_BEGIN _Pragma("GCC push_options") _Pragma("GCC optimize(\"O3\", \"fp-contract=off\")")
#define L2_KERNELS_END _Pragma("GCC pop_options")
#else
#define L2_KERNELS_BEGIN
#define L2_KERNELS_END
#endif
