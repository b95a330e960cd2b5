// Pixel conversion: `px_to_rgb888`, `_rgb_convert_range`, `px_to_rgb888_chunk`,
// `_rgb_pool`, `rgb_threads` and the process-wide "l2-rgb" pool.
#include "lumeth2/pixels.hpp"

#include <climits>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <cstring>
#include <vector>

#include "lumeth2/array_kernel_io.hpp"
#include "lumeth2/constants.hpp"
#include "lumeth2/host_module.hpp"

namespace l2 {



namespace {

// Byte of a value already clipped to [0, 255] (or NaN): NaN -> 0, never cast.
inline uint8_t clipped_to_u8(float y) {
    const float t = y > 0.0f ? y : 0.0f;
    return static_cast<uint8_t>(static_cast<int32_t>(t));
}
inline uint8_t clipped_to_u8(double y) {
    const double t = y > 0.0 ? y : 0.0;
    return static_cast<uint8_t>(static_cast<int32_t>(t));
}

// Clip as the array library does it: NaN stays NaN, -0.0 stays -0.0.
template <class T>
inline T clip255(T y) {
    return y < T(0) ? T(0) : (y > T(255) ? T(255) : y);
}

// One row of one plane, contiguous: scale and clip in place, truncate to bytes.
inline void scale_row_scalar(float* __restrict r, uint8_t* __restrict dst, int64_t w) {
    for (int64_t i = 0; i < w; ++i) {
        const float y = clip255(r[i] * 255.0f);  // single-precision product
        r[i] = y;
        dst[i] = clipped_to_u8(y);
    }
}

#if defined(__SSE2__)
// Four lanes of clip255: y < 0 -> +0 (NaN and -0.0 kept), y > 255 -> 255.
inline __m128 clip255_x4(__m128 y) {
    const __m128 zero = _mm_setzero_ps(), top = _mm_set1_ps(255.0f);
    y = _mm_andnot_ps(_mm_cmplt_ps(y, zero), y);
    const __m128 over = _mm_cmpgt_ps(y, top);
    return _mm_or_ps(_mm_and_ps(over, top), _mm_andnot_ps(over, y));
}

// The same operations as scale_row_scalar, 16 values at a time (IEEE single
// multiply, compares and truncating conversion: bit-identical results).
inline void scale_row_contig(float* __restrict r, uint8_t* __restrict dst, int64_t w) {
    const __m128 k = _mm_set1_ps(255.0f), zero = _mm_setzero_ps();
    int64_t i = 0;
    for (; i + 16 <= w; i += 16) {
        __m128i q[4];
        for (int j = 0; j < 4; ++j) {
            const __m128 y = clip255_x4(_mm_mul_ps(_mm_loadu_ps(r + i + 4 * j), k));
            _mm_storeu_ps(r + i + 4 * j, y);
            // NaN and values <= 0 -> 0 before the conversion; the rest lie in (0, 255].
            q[j] = _mm_cvttps_epi32(_mm_and_ps(_mm_cmpgt_ps(y, zero), y));
        }
        const __m128i lo = _mm_packs_epi32(q[0], q[1]), hi = _mm_packs_epi32(q[2], q[3]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm_packus_epi16(lo, hi));
    }
    scale_row_scalar(r + i, dst + i, w - i);
}
#else
inline void scale_row_contig(float* __restrict r, uint8_t* __restrict dst, int64_t w) {
    scale_row_scalar(r, dst, w);
}
#endif

inline void scale_row_strided(char* r, ptrdiff_t s_w, uint8_t* dst, int64_t w) {
    for (int64_t i = 0; i < w; ++i) {
        float v;
        std::memcpy(&v, r + i * s_w, sizeof v);
        const float y = clip255(v * 255.0f);
        std::memcpy(r + i * s_w, &y, sizeof y);
        dst[i] = clipped_to_u8(y);
    }
}

#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && defined(__linux__)
// Byte shuffles only, so the wider clone gives the same bytes.
__attribute__((target_clones("avx2", "default")))
#endif
void interleave_row(const uint8_t* __restrict p0, const uint8_t* __restrict p1, const uint8_t* __restrict p2,
                    uint8_t* __restrict out, int64_t w) {
    for (int64_t i = 0; i < w; ++i) {
        out[3 * i + 0] = p0[i];
        out[3 * i + 1] = p1[i];
        out[3 * i + 2] = p2[i];
    }
}

// Interleave with the per-channel table applied on the way: the same bytes as
// mapping the planes in place and then interleaving, one pass fewer.
void interleave_row_lut(const uint8_t* __restrict p0, const uint8_t* __restrict p1, const uint8_t* __restrict p2,
                        const ChannelTables& tb, uint8_t* __restrict out, int64_t w) {
    for (int64_t i = 0; i < w; ++i) {
        out[3 * i + 0] = tb.t[0][p0[i]];
        out[3 * i + 1] = tb.t[1][p1[i]];
        out[3 * i + 2] = tb.t[2][p2[i]];
    }
}

template <class T>
void pack_frame(const char* src, ptrdiff_t s_c, ptrdiff_t s_h, ptrdiff_t s_w, int64_t H, int64_t W,
                uint8_t* out) {
    for (int64_t h = 0; h < H; ++h) {
        uint8_t* o = out + h * W * 3;
        for (int64_t c = 0; c < 3; ++c) {
            const char* r = src + c * s_c + h * s_h;
            for (int64_t i = 0; i < W; ++i) {
                T v;
                std::memcpy(&v, r + i * s_w, sizeof v);
                o[3 * i + c] = clipped_to_u8(clip255(static_cast<T>(v * T(255))));
            }
        }
    }
}

}  // namespace

void px_fast_frame(char* f, ptrdiff_t s_c, ptrdiff_t s_h, ptrdiff_t s_w, uint8_t* planar,
                   const ChannelTables* tables, uint8_t* out) {
    const bool contig = s_w == static_cast<ptrdiff_t>(sizeof(float)) &&
                        reinterpret_cast<uintptr_t>(f) % alignof(float) == 0 &&
                        s_h % static_cast<ptrdiff_t>(sizeof(float)) == 0 &&
                        s_c % static_cast<ptrdiff_t>(sizeof(float)) == 0;
    // Row by row, so the scratch rows and the frame rows stay in cache between the
    // truncation, the table and the transposition.
    for (int64_t h = 0; h < FH; ++h) {
        uint8_t* pr[3];
        for (int64_t c = 0; c < 3; ++c) {
            pr[c] = planar + c * HWPX + h * FW;
            char* row = f + c * s_c + h * s_h;
            if (contig) scale_row_contig(reinterpret_cast<float*>(row), pr[c], FW);
            else scale_row_strided(row, s_w, pr[c], FW);
        }
        if (tables) interleave_row_lut(pr[0], pr[1], pr[2], *tables, out + h * FW * 3, FW);
        else interleave_row(pr[0], pr[1], pr[2], out + h * FW * 3, FW);
    }
}

void px_pack_frame_f32(const char* src, ptrdiff_t s_c, ptrdiff_t s_h, ptrdiff_t s_w, int64_t H, int64_t W,
                       uint8_t* out) {
    pack_frame<float>(src, s_c, s_h, s_w, H, W, out);
}
void px_pack_frame_f64(const char* src, ptrdiff_t s_c, ptrdiff_t s_h, ptrdiff_t s_w, int64_t H, int64_t W,
                       uint8_t* out) {
    pack_frame<double>(src, s_c, s_h, s_w, H, W, out);
}

int64_t px_range_step(int64_t n, int64_t w) { return (n + w - 1) / w; }


// ---------------------------------------------------------------------------------
// Bindings

namespace {

constexpr const char* kRgbThreadsEnv = "LUMETH2_RGB_THREADS";

// Tables to fold into the kernel: a "lut" correction's table, or - for the exact
// ColorCorrect type, whose `apply` cannot be overridden - a gain/bias folded into
// tables (the same bytes `apply` gives). `via_apply` is set when the frame must
// instead go through `cc.apply` after packing.
bool tables_for(nb::handle cc, ChannelTables& tb, bool* via_apply) {
    *via_apply = false;
    if (cc.is_none()) return false;
    if (color_kind_is_lut(cc)) {
        nb::object lut = np_mod().attr("ascontiguousarray")(cc.attr("lut"), nb::arg("dtype") = "uint8");
        if (!lut.attr("shape").equal(nb::make_tuple(3, 256)))
            orvane::raise_value_error("colour table must have shape (3, 256)");
        BufView v(lut, false);
        std::memcpy(tb.t, v.data(), sizeof(tb.t));
        return true;
    }
    bool is_lut = false;
    if (nb::isinstance<ColorCorrect>(cc) && color_tables_of(cc, tb, &is_lut)) return true;
    *via_apply = true;
    return false;
}

bool is_fast_frame(nb::handle f) {
    if (!is_ndarray(f) || !dtype_is(f, "float32")) return false;
    BufView v(f, false);
    return v.ndim() == 3 && v.shape(0) == 3 && v.shape(1) == FH && v.shape(2) == FW && !v.readonly();
}

// px * 255, clip, truncate, transpose, through the array library: for element types
// the kernels do not take, with the library's own promotion and errors.
nb::object pack_numpy(nb::handle px) {
    nb::module_ np = np_mod();
    nb::object x = np.attr("multiply")(px, 255.0);
    x = np.attr("clip")(x, 0.0, 255.0);
    if (nb::cast<bool>(np.attr("issubdtype")(x.attr("dtype"), np.attr("inexact"))))
        x = np.attr("where")(np.attr("isnan")(x), 0, x);  // NaN -> 0, never cast
    x = x.attr("astype")("uint8");
    return np.attr("ascontiguousarray")(x.attr("transpose")(1, 2, 0));
}

nb::object py_px_to_rgb888(nb::handle px_chw, nb::handle cc) {
    nb::object a = nb::borrow(px_chw);
    if (!is_ndarray(a)) a = np_mod().attr("asarray")(a);
    const bool f32 = dtype_is(a, "float32"), f64 = dtype_is(a, "float64");
    nb::object frame;
    if (f32 || f64) {
        BufView v(a, false);
        if (v.ndim() == 3 && v.shape(0) == 3) {
            const int64_t H = v.shape(1), W = v.shape(2);
            frame = np_empty({H, W, 3}, "uint8");
            uint8_t* o = array_data<uint8_t>(frame);
            nb::gil_scoped_release nogil;
            if (f32) px_pack_frame_f32(static_cast<const char*>(v.data()), v.stride(0), v.stride(1), v.stride(2), H, W, o);
            else px_pack_frame_f64(static_cast<const char*>(v.data()), v.stride(0), v.stride(1), v.stride(2), H, W, o);
        }
    }
    if (!frame.is_valid()) frame = pack_numpy(a);
    if (!cc.is_none()) frame = cc.attr("apply")(frame);
    return frame.attr("tobytes")();
}

// This thread's planar scratch, created on its first range and kept for its life.
nb::object thread_planar() {
    nb::object tls = mod_get("_RGB_TLS");
    nb::object planar = nb::getattr(tls, "planar", nb::none());
    if (planar.is_none()) {
        planar = np_empty({3, FH, FW}, "uint8");
        nb::setattr(tls, "planar", planar);
    }
    return planar;
}

void py_rgb_convert_range(nb::handle px, nb::handle u8, nb::handle lo_obj, nb::handle hi_obj, nb::handle cc) {
    const Py_ssize_t lo = as_index(lo_obj);
    const Py_ssize_t hi = as_index(hi_obj);
    nb::object planar_obj = thread_planar();
    BufView planar_v(planar_obj, true);
    if (planar_v.count() != 3 * HWPX || !planar_v.c_contiguous())
        orvane::raise_value_error("per-thread planar scratch has the wrong layout");
    uint8_t* planar = static_cast<uint8_t*>(planar_v.data());
    if (hi <= lo) return;

    if (!is_ndarray(u8) || !dtype_is(u8, "uint8"))
        orvane::raise_type_error("u8 must be a uint8 array of (n, 720, 416, 3)");
    BufView out(u8, true);
    if (out.ndim() != 4 || out.shape(1) != FH || out.shape(2) != FW || out.shape(3) != 3 || !out.c_contiguous())
        orvane::raise_value_error("u8 must be a C-contiguous uint8 array of (n, 720, 416, 3)");
    if (lo < 0 || hi > out.shape(0))
        orvane::raise_index_error("frame range [" + std::to_string(lo) + ", " + std::to_string(hi) +
                                  ") is out of bounds for " + std::to_string(out.shape(0)) + " frames");
    uint8_t* base = static_cast<uint8_t*>(out.data());

    ChannelTables tb;
    bool via_apply = false;
    const bool have_tables = tables_for(cc, tb, &via_apply);
    nb::object to_rgb = mod_get("px_to_rgb888");

    for (Py_ssize_t i = lo; i < hi; ++i) {
        nb::object f = px[nb::int_(i)];
        uint8_t* slot = base + i * FRAME_BYTES;
        if (is_fast_frame(f)) {
            BufView fv(f, false);
            {
                nb::gil_scoped_release nogil;
                px_fast_frame(static_cast<char*>(fv.data()), fv.stride(0), fv.stride(1), fv.stride(2), planar,
                              have_tables ? &tb : nullptr, slot);
            }
            if (via_apply) {
                nb::object view = u8[nb::int_(i)];
                nb::object fixed = cc.attr("apply")(view);
                u8[nb::int_(i)] = fixed;  // the array library's assignment (cast, broadcast, errors)
            }
        } else {
            nb::object bytes = to_rgb(f, cc);
            if (!PyBytes_Check(bytes.ptr()) || PyBytes_GET_SIZE(bytes.ptr()) != FRAME_BYTES) {
                // Let the array library say what is wrong with it.
                nb::object arr = np_mod().attr("frombuffer")(bytes, "uint8").attr("reshape")(FH, FW, 3);
                u8[nb::int_(i)] = arr;
                continue;
            }
            const char* src = PyBytes_AS_STRING(bytes.ptr());
            nb::gil_scoped_release nogil;
            std::memcpy(slot, src, FRAME_BYTES);
        }
    }
}

nb::object make_pool(nb::handle n) {
    nb::object tpe = nb::getattr(host_module(), "ThreadPoolExecutor", nb::none());
    if (tpe.is_none()) tpe = orvane::py_import("concurrent.futures").attr("ThreadPoolExecutor");
    return tpe(nb::arg("max_workers") = n, nb::arg("thread_name_prefix") = "l2-rgb");
}

nb::object py_rgb_pool(nb::handle n) {
    nb::object lock = mod_get("_RGB_POOL_LOCK");
    lock.attr("acquire")();
    try {
        if (mod_get("_RGB_POOL").is_none()) mod_set("_RGB_POOL", make_pool(n));
        nb::object pool = mod_get("_RGB_POOL");
        lock.attr("release")();
        return pool;
    } catch (...) {
        lock.attr("release")();
        throw;
    }
}

nb::object py_px_to_rgb888_chunk(nb::handle px, nb::handle cc, nb::handle threads) {
    const Py_ssize_t n = PyObject_Length(px.ptr());
    if (n < 0) throw nb::python_error();
    nb::object u8 = np_empty({n, FH, FW, 3}, "uint8");
    nb::int_ t = nb::int_(threads);
    int overflow = 0;
    long long tv = PyLong_AsLongLongAndOverflow(t.ptr(), &overflow);
    if (overflow > 0) tv = LLONG_MAX;
    else if (overflow < 0) tv = LLONG_MIN;
    const int64_t w = std::min<int64_t>(std::max<int64_t>(1, tv), n);

    nb::object convert = mod_get("_rgb_convert_range");
    if (w <= 1) {
        convert(px, u8, 0, n, cc);
        return u8;
    }
    nb::object pool = mod_get("_rgb_pool")(w);
    const int64_t step = px_range_step(n, w);
    nb::list futures;
    for (int64_t lo = 0; lo < n; lo += step)
        futures.append(pool.attr("submit")(convert, px, u8, lo, std::min<int64_t>(lo + step, n), cc));
    nb::object wait = nb::getattr(host_module(), "_futures_wait", nb::none());
    if (wait.is_none()) wait = orvane::py_import("concurrent.futures").attr("wait");
    wait(futures);
    for (nb::handle fut : futures) fut.attr("result")();  // first failure in submission order
    return u8;
}

void elog_line(const nb::object& text) {
    nb::object elog = nb::getattr(host_module(), "_elog", nb::none());
    if (!elog.is_none()) {
        elog(text);
        return;
    }
    nb::object err = orvane::py_import("sys").attr("stderr");
    err.attr("write")(nb::str("[render-stream-chain-host] {}\n").format(text));
    err.attr("flush")();
}

nb::object py_rgb_threads() {
    nb::object raw = orvane::py_import("os").attr("environ").attr("get")(kRgbThreadsEnv, "");
    raw = raw.attr("strip")();
    if (nb::len(raw) > 0) {
        // The interpreter's int() of a text: optional sign, decimal digits, single
        // underscores between digits.
        PyObject* v = PyLong_FromUnicodeObject(raw.ptr(), 10);
        if (v) {
            nb::object iv = nb::steal(v);
            nb::object one = nb::int_(1);
            return PyObject_RichCompareBool(iv.ptr(), one.ptr(), Py_LT) ? one : iv;
        }
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
        PyErr_Clear();
        elog_line(nb::str("{}={} is not an integer \u2014 using the default").format(kRgbThreadsEnv, nb::repr(raw)));
    }
    nb::object cpu_fn = nb::getattr(host_module(), "effective_cpu_count", nb::none());
    Py_ssize_t cpus;
    if (!cpu_fn.is_none()) {
        cpus = nb::cast<Py_ssize_t>(nb::int_(cpu_fn()));
    } else {
        nb::object c = orvane::py_import("os").attr("cpu_count")();
        cpus = c.is_none() ? 8 : nb::cast<Py_ssize_t>(c);
    }
    Py_ssize_t d = cpus / 3;
    if (cpus < 0 && cpus % 3) d -= 1;  // floor division, as the interpreter's //
    return nb::int_(std::max<Py_ssize_t>(1, std::min<Py_ssize_t>(8, d)));
}

}  // namespace

void register_pixels(nb::module_& m) {
    m.def("px_to_rgb888", &py_px_to_rgb888, nb::arg("px_chw").none(), nb::arg("cc").none() = nb::none(),
          "Packed RGB888 bytes of one planar frame (3, H, W), colour-corrected when cc is given.");
    m.attr("RGB_THREADS_ENV") = kRgbThreadsEnv;
    m.attr("_RGB_POOL") = nb::none();
    nb::module_ threading = orvane::py_import("threading");
    m.attr("_RGB_POOL_LOCK") = threading.attr("Lock")();
    m.attr("_RGB_TLS") = threading.attr("local")();
    m.def("_rgb_convert_range", &py_rgb_convert_range, nb::arg("px").none(), nb::arg("u8").none(),
          nb::arg("lo").none(), nb::arg("hi").none(), nb::arg("cc").none(),
          "Convert frames lo..hi-1 of px into u8 on the calling thread.");
    m.def("_rgb_pool", &py_rgb_pool, nb::arg("n").none(),
          "The process-wide pixel pool, created with n workers on first use.");
    m.def("px_to_rgb888_chunk", &py_px_to_rgb888_chunk, nb::arg("px").none(), nb::arg("cc").none() = nb::none(),
          nb::arg("threads").none() = 1,
          "New uint8 array (n, 720, 416, 3) of the packed frames, converted on the pixel pool.");
    m.def("rgb_threads", &py_rgb_threads, "Pixel-conversion thread count (LUMETH2_RGB_THREADS).");
}

}  // namespace l2
