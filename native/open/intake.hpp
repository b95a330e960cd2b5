// Audio intake kernels: float samples to 16-bit PCM.
#pragma once
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace op {

// Clip each sample to [-1, 1], scale by 32767 and truncate toward zero, in the
// sample's own type F (float for float32 input, double for float64): the product is
// rounded in F before truncation, which decides samples near an integer boundary.
// NaN becomes 0 and is replaced before any conversion (never cast to an integer).
template <class F>
inline int16_t pcm_sample(F v) {
    if (v != v) return 0;
    if (v > F(1)) v = F(1);
    if (v < F(-1)) v = F(-1);
    return static_cast<int16_t>(static_cast<int32_t>(v * F(32767.0)));  // |v*32767| <= 32767
}

// The vector paths below do the same steps lane by lane (NaN masked to 0, min/max
// clamp, one IEEE multiply in F, truncating conversion), so every sample matches
// pcm_sample bit for bit; the compiler cannot vectorise the clamp on its own without
// relaxing float semantics.
inline void pcm_from_float(const float* x, size_t n, int16_t* out) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128 lo = _mm_set1_ps(-1.0f), hi = _mm_set1_ps(1.0f), k = _mm_set1_ps(32767.0f);
    for (; i + 8 <= n; i += 8) {
        __m128 a = _mm_loadu_ps(x + i), b = _mm_loadu_ps(x + i + 4);
        a = _mm_and_ps(a, _mm_cmpord_ps(a, a));
        b = _mm_and_ps(b, _mm_cmpord_ps(b, b));
        a = _mm_mul_ps(_mm_min_ps(_mm_max_ps(a, lo), hi), k);
        b = _mm_mul_ps(_mm_min_ps(_mm_max_ps(b, lo), hi), k);
        __m128i r = _mm_packs_epi32(_mm_cvttps_epi32(a), _mm_cvttps_epi32(b));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), r);
    }
#elif defined(__aarch64__)
    const float32x4_t lo = vdupq_n_f32(-1.0f), hi = vdupq_n_f32(1.0f), k = vdupq_n_f32(32767.0f);
    for (; i + 8 <= n; i += 8) {
        float32x4_t a = vld1q_f32(x + i), b = vld1q_f32(x + i + 4);
        a = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(a), vceqq_f32(a, a)));
        b = vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(b), vceqq_f32(b, b)));
        a = vmulq_f32(vminq_f32(vmaxq_f32(a, lo), hi), k);
        b = vmulq_f32(vminq_f32(vmaxq_f32(b, lo), hi), k);
        vst1q_s16(out + i, vcombine_s16(vmovn_s32(vcvtq_s32_f32(a)), vmovn_s32(vcvtq_s32_f32(b))));
    }
#endif
    for (; i < n; ++i) out[i] = pcm_sample(x[i]);
}

inline void pcm_from_float(const double* x, size_t n, int16_t* out) {
    size_t i = 0;
#if defined(__SSE2__)
    const __m128d lo = _mm_set1_pd(-1.0), hi = _mm_set1_pd(1.0), k = _mm_set1_pd(32767.0);
    for (; i + 8 <= n; i += 8) {
        __m128i q[4];
        for (int j = 0; j < 4; ++j) {
            __m128d a = _mm_loadu_pd(x + i + 2 * j);
            a = _mm_and_pd(a, _mm_cmpord_pd(a, a));
            a = _mm_mul_pd(_mm_min_pd(_mm_max_pd(a, lo), hi), k);
            q[j] = _mm_cvttpd_epi32(a);  // two int32 in the low half
        }
        __m128i a = _mm_unpacklo_epi64(q[0], q[1]), b = _mm_unpacklo_epi64(q[2], q[3]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packs_epi32(a, b));
    }
#elif defined(__aarch64__)
    const float64x2_t lo = vdupq_n_f64(-1.0), hi = vdupq_n_f64(1.0), k = vdupq_n_f64(32767.0);
    for (; i + 2 <= n; i += 2) {
        float64x2_t a = vld1q_f64(x + i);
        a = vreinterpretq_f64_u64(vandq_u64(vreinterpretq_u64_f64(a), vceqq_f64(a, a)));
        a = vmulq_f64(vminq_f64(vmaxq_f64(a, lo), hi), k);
        int32x2_t r = vmovn_s64(vcvtq_s64_f64(a));
        out[i] = static_cast<int16_t>(vget_lane_s32(r, 0));
        out[i + 1] = static_cast<int16_t>(vget_lane_s32(r, 1));
    }
#endif
    for (; i < n; ++i) out[i] = pcm_sample(x[i]);
}

}  // namespace op
