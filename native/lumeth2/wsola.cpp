// Tempo change (WSOLA): grid conversions, the block search and the cross-fade, and
// their bindings `_wsola_to_buf`, `_wsola_from_buf`, `tempo_wsola`.
#include "lumeth2/wsola.hpp"

#include <cmath>
#include <cstring>
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define L2_GRID_AVX2 1
#endif

#include "lumeth2/array_kernel_io.hpp"
#include "lumeth2/host_module.hpp"

namespace l2 {

namespace {

constexpr double kTwo31 = 2147483648.0;
constexpr double kGridLo = -2147483648.0;
constexpr double kGridHi = 2147483647.0;

// Clip that lets NaN through unchanged, as the array library's clip does.
inline double clip_keep_nan(double v, double lo, double hi) {
    return v < lo ? lo : (v > hi ? hi : v);
}

// Rounding to whole numbers is one instruction from SSE4.1 on (the baseline x86-64
// calls the library for each floor and trunc), and AVX2 doubles the width of the
// candidate search. The clones give the same values: floor, trunc and the IEEE
// operations round identically, no FMA is enabled, and each candidate's sum keeps
// its index order (the vector runs across candidates).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
#define L2_GRID_CLONES __attribute__((target_clones("avx2", "sse4.1", "default")))
#else
#define L2_GRID_CLONES
#endif

template <class T>
inline void to_buf_impl(const T* in, float* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        double v = std::trunc(static_cast<double>(in[i]) * kTwo31);
        v = clip_keep_nan(v, kGridLo, kGridHi);
        // Round the 32-bit value to a multiple of 128 (halves up), in units of 128:
        // |v| <= 2^24 afterwards, so the float32 conversion is exact.
        out[i] = static_cast<float>(std::floor((v + 64.0) / 128.0));
    }
}

template <class T>
inline void from_buf_impl(const T* in, float* out, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        double v = std::floor(static_cast<double>(in[i]) + 0.5) * 128.0;
        v = clip_keep_nan(v, kGridLo, kGridHi);
        out[i] = static_cast<float>(v / kTwo31);  // round to nearest
    }
}

#if defined(L2_GRID_AVX2)
// The grid conversions four values at a time. The compiler leaves the scalar loops
// unvectorised (it will not vectorise floor or trunc while FP exceptions are honoured),
// so these spell the same operations out: the widening to float64 and the float32
// narrowing are exact here, rounding to whole numbers is floor or trunc without
// the inexact flag, 1/128 and 2^-31 are exact scalings (the same value as the
// division), and max(lo, v) / min(hi, v) return v when v is NaN, as the clip does.
template <class T>
__attribute__((target("avx2"))) inline __m256d load4(const T* p) {
    if constexpr (sizeof(T) == sizeof(float)) return _mm256_cvtps_pd(_mm_loadu_ps(reinterpret_cast<const float*>(p)));
    else return _mm256_loadu_pd(reinterpret_cast<const double*>(p));
}

template <class T>
__attribute__((target("avx2"))) void to_buf_avx2(const T* in, float* out, size_t n) {
    const __m256d scale = _mm256_set1_pd(kTwo31), lo = _mm256_set1_pd(kGridLo), hi = _mm256_set1_pd(kGridHi);
    const __m256d half_step = _mm256_set1_pd(64.0), inv_step = _mm256_set1_pd(1.0 / 128.0);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m256d v = _mm256_round_pd(_mm256_mul_pd(load4(in + i), scale), _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
        v = _mm256_min_pd(hi, _mm256_max_pd(lo, v));
        v = _mm256_round_pd(_mm256_mul_pd(_mm256_add_pd(v, half_step), inv_step),
                            _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        _mm_storeu_ps(out + i, _mm256_cvtpd_ps(v));
    }
    to_buf_impl(in + i, out + i, n - i);
}

// In place is allowed: each group of four is read before it is written.
template <class T>
__attribute__((target("avx2"))) void from_buf_avx2(const T* in, float* out, size_t n) {
    const __m256d step = _mm256_set1_pd(128.0), lo = _mm256_set1_pd(kGridLo), hi = _mm256_set1_pd(kGridHi);
    const __m256d half = _mm256_set1_pd(0.5), inv = _mm256_set1_pd(1.0 / kTwo31);
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        __m256d v = _mm256_round_pd(_mm256_add_pd(load4(in + i), half), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
        v = _mm256_min_pd(hi, _mm256_max_pd(lo, _mm256_mul_pd(v, step)));
        _mm_storeu_ps(out + i, _mm256_cvtpd_ps(_mm256_mul_pd(v, inv)));
    }
    from_buf_impl(in + i, out + i, n - i);
}

inline bool have_avx2() {
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
}
#endif

// `cnt` grid samples starting at input position a, zeros outside [0, n).
inline void take(const float* buf, int64_t n, int64_t a, int64_t cnt, float* dst) {
    if (a >= n || a + cnt <= 0) {
        std::memset(dst, 0, sizeof(float) * static_cast<size_t>(cnt));
        return;
    }
    int64_t lo = a > 0 ? a : 0;
    int64_t hi = a + cnt < n ? a + cnt : n;
    int64_t lead = lo - a;
    int64_t len = hi - lo;
    if (lead > 0) std::memset(dst, 0, sizeof(float) * static_cast<size_t>(lead));
    std::memcpy(dst + lead, buf + lo, sizeof(float) * static_cast<size_t>(len));
    int64_t trail = cnt - lead - len;
    if (trail > 0) std::memset(dst + lead + len, 0, sizeof(float) * static_cast<size_t>(trail));
}

// Cost of every candidate: ssd[k] = sum_i (region[k + i] - tail[i])^2, in float64.
// The loop over k is the vector dimension; each candidate's sum is one running
// total in index order i = 0, 1, ... (never reassociated: no fast-math, no FMA).
inline void ssd_all(const float* region, const float* tail, double* ssd) {
    constexpr int64_t NC = WSOLA_CANDIDATES;
    for (int64_t k = 0; k < NC; ++k) ssd[k] = 0.0;
    for (int64_t i = 0; i < WSOLA_OV; ++i) {
        const double t = static_cast<double>(tail[i]);
        const float* r = region + i;
        for (int64_t k = 0; k < NC; ++k) {
            const double d = static_cast<double>(r[k]) - t;
            ssd[k] += d * d;
        }
    }
}

// Lowest cost wins, ties to the lowest k. A NaN cost (only from NaN samples) wins
// at its first occurrence, as the array library's argmin decides.
inline int64_t pick(const double* ssd) {
    for (int64_t k = 0; k < WSOLA_CANDIDATES; ++k)
        if (std::isnan(ssd[k])) return k;
    int64_t best = 0;
    for (int64_t k = 1; k < WSOLA_CANDIDATES; ++k)
        if (ssd[k] < ssd[best]) best = k;
    return best;
}

}  // namespace

namespace {
template <class T>
L2_GRID_CLONES void to_buf_scalar(const T* in, float* out, size_t n) { to_buf_impl(in, out, n); }
template <class T>
L2_GRID_CLONES void from_buf_scalar(const T* in, float* out, size_t n) { from_buf_impl(in, out, n); }

template <class T>
void to_buf_any(const T* in, float* out, size_t n) {
#if defined(L2_GRID_AVX2)
    if (have_avx2()) return to_buf_avx2(in, out, n);
#endif
    to_buf_scalar(in, out, n);
}
template <class T>
void from_buf_any(const T* in, float* out, size_t n) {
#if defined(L2_GRID_AVX2)
    if (have_avx2()) return from_buf_avx2(in, out, n);
#endif
    from_buf_scalar(in, out, n);
}
}  // namespace

void wsola_to_buf_kernel(const float* in, float* out, size_t n) { to_buf_any(in, out, n); }
void wsola_to_buf_kernel(const double* in, float* out, size_t n) { to_buf_any(in, out, n); }
void wsola_from_buf_kernel(const float* in, float* out, size_t n) { from_buf_any(in, out, n); }
void wsola_from_buf_kernel(const double* in, float* out, size_t n) { from_buf_any(in, out, n); }

bool wsola_out_len(int64_t n, double factor, double* n_out_exact) {
    double v = std::floor(static_cast<double>(n) / factor + 0.5);
    *n_out_exact = v;
    return std::isfinite(v);
}

L2_GRID_CLONES void tempo_wsola_kernel(const float* buf, int64_t n, double factor, float* out, int64_t n_out) {
    constexpr int64_t OV = WSOLA_OV, HOP = WSOLA_HOP, HALF = WSOLA_HALF;
    constexpr int64_t REGION = WSOLA_CANDIDATES + OV - 1;  // every sample a candidate reads

    // Ramps in float32: w rises from 0 to 191/192 and never reaches 1.
    float w[OV], u[OV];
    const float inv = 1.0f / static_cast<float>(OV);
    for (int64_t i = 0; i < OV; ++i) {
        w[i] = static_cast<float>(i) * inv;
        u[i] = 1.0f - w[i];
    }
    const double skip = factor * static_cast<double>(HOP);

    float block[HOP], tail[OV], head[OV], region[REGION];
    double ssd[WSOLA_CANDIDATES];
    int64_t q = 0;
    for (int64_t blk = 0; blk * HOP < n_out; ++blk) {
        const int64_t o0 = blk * HOP;
        const int64_t m = n_out - o0 < HOP ? n_out - o0 : HOP;
        if (blk == 0) {
            take(buf, n, 0, HOP, block);
        } else {
            take(buf, n, q + HOP, OV, tail);
            // Finite and well inside int64: blk * HOP < n_out <= n / factor + 0.5.
            const int64_t nom = static_cast<int64_t>(std::floor(static_cast<double>(blk) * skip + 0.5));
            // Candidate windows read zeros outside the input (the zero-padded source).
            take(buf, n, nom - HALF, REGION, region);
            ssd_all(region, tail, ssd);
            const int64_t qj = nom - HALF + pick(ssd);
            take(buf, n, qj, OV, head);
            for (int64_t i = 0; i < OV; ++i) {
                const float a = tail[i] * u[i];  // float32 product
                const float b = head[i] * w[i];  // float32 product
                block[i] = a + b;                // float32 sum
            }
            take(buf, n, qj + OV, HOP - OV, block + OV);
            q = qj;
        }
        std::memcpy(out + o0, block, sizeof(float) * static_cast<size_t>(m));
    }
}


// ---------------------------------------------------------------------------------
// Bindings

namespace {

// `d` as a C-contiguous float32 or float64 array (anything else goes through the
// array library's float64 conversion, with its errors).
nb::object as_float_array(nb::handle d) {
    nb::module_ np = np_mod();
    nb::object a = np.attr("asarray")(d);
    if (!dtype_is(a, "float32") && !dtype_is(a, "float64"))
        a = np.attr("asarray")(a, "float64");
    // asarray, not ascontiguousarray: the latter turns a 0-d value into shape (1,).
    return np.attr("asarray")(a, nb::arg("order") = "C");
}

std::vector<Py_ssize_t> shape_of(const BufView& v) {
    std::vector<Py_ssize_t> s;
    for (int i = 0; i < v.ndim(); ++i) s.push_back(v.shape(i));
    return s;
}

template <class F32, class F64>
nb::object elementwise(nb::handle d, F32 f32, F64 f64) {
    nb::object a = as_float_array(d);
    const bool is32 = dtype_is(a, "float32");
    BufView in(a, false);
    nb::object out = np_empty_shape(shape_of(in), "float32");
    float* o = array_data<float>(out);
    const size_t n = static_cast<size_t>(in.count());
    {
        nb::gil_scoped_release nogil;
        if (is32) f32(static_cast<const float*>(in.data()), o, n);
        else f64(static_cast<const double*>(in.data()), o, n);
    }
    return out;
}

nb::object py_wsola_to_buf(nb::handle d) {
    return elementwise(
        d, [](const float* i, float* o, size_t n) { wsola_to_buf_kernel(i, o, n); },
        [](const double* i, float* o, size_t n) { wsola_to_buf_kernel(i, o, n); });
}

nb::object py_wsola_from_buf(nb::handle v) {
    return elementwise(
        v, [](const float* i, float* o, size_t n) { wsola_from_buf_kernel(i, o, n); },
        [](const double* i, float* o, size_t n) { wsola_from_buf_kernel(i, o, n); });
}

nb::object py_tempo_wsola(nb::handle x, double factor) {
    nb::object a = as_float_array(x);
    const bool is32 = dtype_is(a, "float32");
    BufView in(a, false);
    if (in.ndim() != 1) orvane::raise_value_error("tempo_wsola expects one-dimensional samples");
    const int64_t n = in.shape(0);
    if (factor == 0.0) orvane::raise(PyExc_ZeroDivisionError, "float division by zero");
    double exact = 0.0;
    if (!wsola_out_len(n, factor, &exact)) {
        // NaN or infinite length: never cast to an integer; raise what int() raises.
        PyObject* r = PyLong_FromDouble(exact);
        Py_XDECREF(r);
        throw nb::python_error();
    }
    if (exact < 0.0) exact = 0.0;
    if (exact > 4.0e15) orvane::raise(PyExc_MemoryError, "tempo_wsola output too large");
    const int64_t n_out = static_cast<int64_t>(exact);

    std::vector<float> grid(static_cast<size_t>(n));
    nb::object out = np_empty({static_cast<Py_ssize_t>(n_out)}, "float32");
    float* o = array_data<float>(out);
    {
        nb::gil_scoped_release nogil;
        if (is32) wsola_to_buf_kernel(static_cast<const float*>(in.data()), grid.data(), grid.size());
        else wsola_to_buf_kernel(static_cast<const double*>(in.data()), grid.data(), grid.size());
        tempo_wsola_kernel(grid.data(), n, factor, o, n_out);
        wsola_from_buf_kernel(o, o, static_cast<size_t>(n_out));
    }
    return out;
}

}  // namespace

void register_wsola(nb::module_& m) {
    m.attr("sliding_window_view") = np_mod().attr("lib").attr("stride_tricks").attr("sliding_window_view");
    m.attr("SR_WSOLA_SEGMENT") = SR_WSOLA_SEGMENT;
    m.attr("SR_WSOLA_OVERLAP") = SR_WSOLA_OVERLAP;
    m.attr("SR_WSOLA_SEARCH") = SR_WSOLA_SEARCH;
    m.def("_wsola_to_buf", &py_wsola_to_buf, nb::arg("d").none(),
          "Float PCM of any shape to integer grid values (float32).");
    m.def("_wsola_from_buf", &py_wsola_from_buf, nb::arg("v").none(),
          "Grid values back to float PCM (float32).");
    m.def("tempo_wsola", &py_tempo_wsola, nb::arg("x").none(), nb::arg("factor") = 1.25,
          "Tempo change by WSOLA; factor > 1 shortens. Returns a new float32 array.");
}

}  // namespace l2
