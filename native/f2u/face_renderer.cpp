// The f2u face renderer: motion model, warping of the identity's planes,
// light decoder, mouth and eye patch compositing, 8-bit RGB frames.
// The bilinear remaps and resizes are done natively to the bits OpenCV gives
// (face_sample.hpp) once a probe at first use has shown that they agree with the
// OpenCV in this process; otherwise, and for inputs the native kernels do not
// take, OpenCV is called through its Python API as before. A batch's host-side
// work runs in two released sections, one before and one after the decoder.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "f2u/face_sample.hpp"
#include "f2u/face_warp.hpp"
#include "f2u/heads.hpp"
#include "f2u/nparray.hpp"
#include "f2u/shape_text.hpp"

namespace f2u {

namespace np {
template <> inline const char* dtype_name<uint8_t>() { return "uint8"; }
}  // namespace np

namespace {

nb::module_ cv2() { return orvane::py_import("cv2"); }  // at call time: the module loads without OpenCV

// `a, b, c, ... = v` run by the interpreter itself, so a wrong count fails with
// its own ValueError text.
nb::object unpacker(int n) {
    static nb::object* fns[8] = {};
    if (!fns[n]) {
        std::string names;
        for (int i = 0; i < n; ++i) names += (i ? ", _" : "_") + std::to_string(i);
        const std::string src = "def unpack(v):\n    " + names + " = v\n    return (" + names + ",)\n";
        nb::dict ns;
        orvane::py_import("builtins").attr("exec")(nb::str(src.c_str()), ns);
        fns[n] = new nb::object(ns["unpack"]);
    }
    return *fns[n];
}

nb::object idx(nb::handle obj, size_t i) { return np::item(obj, nb::int_(i)); }

// bool(obj) with the interpreter's rules (numpy scalars and arrays included).
bool truthy(nb::handle obj) {
    const int t = PyObject_IsTrue(obj.ptr());
    if (t < 0) throw nb::python_error();
    return t != 0;
}

// ---- native sampling ------------------------------------------------------------

// Deterministic values in [-1, 1) for the probe.
struct Lcg {
    uint32_t s;
    float next() {
        s = s * 1664525u + 1013904223u;
        return (float)(s >> 8) / 8388608.0f - 1.0f;
    }
};

template <class T>
bool same_bits(const T* a, const T* b, size_t n) {
    return std::memcmp(a, b, n * sizeof(T)) == 0;
}

// Whether the native kernels give OpenCV's bits in this process: one check at
// first use over small images, maps inside, on, between and beyond the pixels.
bool probe_native(nb::handle cv) {
    nb::object remap = cv.attr("remap"), resize = cv.attr("resize");
    nb::object lin = cv.attr("INTER_LINEAR");
    Lcg r{12345u};
    const size_t h = 6, w = 5, npix = 97;
    // three 4-channel images, channel-last, and maps around them
    auto p0 = np::empty<float>({h, w, 4}), p1 = np::empty<float>({h, w, 4}), p2 = np::empty<float>({h, w, 4});
    for (auto* p : {&p0, &p1, &p2})
        for (size_t i = 0; i < p->size; ++i) p->data[i] = r.next() * 3.0f;
    auto g = np::empty<float>({1, npix, 2});
    auto xs = np::empty<float>({1, npix}), ys = np::empty<float>({1, npix});
    for (size_t p = 0; p < npix; ++p) {
        float gx = -1.0f + (r.next() + 1.0f) * 0.015f - 0.004f, gy = -1.0f + (r.next() + 1.0f) * 0.016f - 0.004f;
        if (p % 7 == 0) gx = (2.0f * (float)(p % 9) - 3.0f) / 512.0f - 1.0f;  // pixel centres and beyond
        if (p % 5 == 0) gy = (2.0f * (float)(p % 8) - 1.0f) / 512.0f - 1.0f;
        g.data[2 * p] = gx;
        g.data[2 * p + 1] = gy;
    }
    grid_to_pixel_maps(g.data, npix, xs.data, ys.data);
    const float* planes[3] = {p0.data, p1.data, p2.data};
    std::vector<float> mine(3 * npix), theirs(3 * npix);
    if (!warp_cone_fused(planes, h, w, g.data, npix, mine.data(), npix)) return false;
    np::View<float> sm[3];
    nb::object ps[3] = {p0.obj, p1.obj, p2.obj};
    for (size_t k = 0; k < 3; ++k) {
        sm[k] = np::view<float>(remap(ps[k], xs.obj, ys.obj, lin, nb::arg("borderMode") = cv.attr("BORDER_REPLICATE")));
        if (sm[k].size != 4 * npix) return false;
    }
    cone_correct(sm[0].data, sm[1].data, sm[2].data, xs.data, ys.data, npix, theirs.data());
    if (!same_bits(mine.data(), theirs.data(), 3 * npix)) return false;

    // the patch remaps: 3 channels replicated from channel-first planes, one
    // plane with a zero border; maps in patch pixels
    auto chw = np::empty<float>({3, h, w});
    for (size_t i = 0; i < chw.size; ++i) chw.data[i] = r.next();
    auto hwc = np::empty<float>({h, w, 3});
    for (size_t c = 0; c < 3; ++c)
        for (size_t p = 0; p < h * w; ++p) hwc.data[p * 3 + c] = chw.data[c * h * w + p];
    for (size_t p = 0; p < npix; ++p) {
        xs.data[p] = r.next() * 4.0f + 2.0f;
        ys.data[p] = r.next() * 4.5f + 2.5f;
        if (p % 6 == 0) xs.data[p] = (float)(p % 8) - 1.0f;
    }
    std::vector<float> col(3 * npix), alpha(npix);
    remap_replicate_chw(chw.data, 3, h, w, xs.data, ys.data, npix, col.data());
    auto col_cv = np::view<float>(remap(hwc.obj, xs.obj, ys.obj, lin, nb::arg("borderMode") = cv.attr("BORDER_REPLICATE")));
    if (col_cv.size != 3 * npix || !same_bits(col.data(), col_cv.data, 3 * npix)) return false;
    nb::object plane = np::contiguous(idx(chw.obj, 1), "float32");
    remap_zero_border(chw.data + h * w, h, w, xs.data, ys.data, npix, alpha.data());
    auto a_cv = np::view<float>(remap(plane, xs.obj, ys.obj, lin, nb::arg("borderMode") = cv.attr("BORDER_CONSTANT"),
                                      nb::arg("borderValue") = 0));
    if (a_cv.size != npix || !same_bits(alpha.data(), a_cv.data, npix)) return false;

    // resizes of a 2-channel grid: up by a whole factor, up and down by others
    const size_t sizes[3][4] = {{8, 8, 64, 64}, {5, 7, 17, 23}, {13, 11, 6, 4}};
    for (const auto& sz : sizes) {
        auto src = np::empty<float>({sz[0], sz[1], 2});
        for (size_t i = 0; i < src.size; ++i) src.data[i] = r.next();
        LinearResize lr(sz[0], sz[1], sz[2], sz[3], 2);
        std::vector<float> out(sz[2] * sz[3] * 2), scratch(2 * sz[3] * 2);
        ResizeCursor cur;
        lr.rows(src.data, 0, sz[2], out.data(), scratch.data(), cur);
        auto ref = np::view<float>(resize(src.obj, nb::make_tuple(sz[3], sz[2]), nb::arg("interpolation") = lin));
        if (ref.size != out.size() || !same_bits(out.data(), ref.data, out.size())) return false;
    }
    return true;
}

bool native_ok(nb::handle cv) {
    static int state = -1;  // -1: not probed yet
    if (state < 0) {
        // the CPU's own arithmetic first, then the other one where the CPU has it
        const bool first = sample_fused_available();
        int found = -1;
        for (const bool fused : {first, !first}) {
            if (fused && !sample_fused_available()) continue;
            bool same;
            {
                SampleArithScope scope(fused);
                same = probe_native(cv);
            }
            if (same) {
                found = fused ? 1 : 0;
                break;
            }
        }
        if (found >= 0) set_sample_fused(found == 1);
        state = found >= 0 ? 1 : 0;
    }
    return state == 1;
}

// A float32 array (native byte order, any layout) as a C-contiguous view, its
// values unchanged; nothing for other objects and element types.
bool f32_exact(nb::handle obj, np::View<float>& v) {
    nb::object np_ = np::numpy();
    if (!nb::isinstance(obj, np_.attr("ndarray"))) return false;
    if (orvane::py_str(obj.attr("dtype")) != "float32") return false;
    v = np::view_exact<float>(np_.attr("ascontiguousarray")(obj));
    return true;
}

// The renderer's three 4-channel plane images when the native warp can take them.
struct Planes {
    np::View<float> v[3];
    const float* p[3] = {};
    size_t H = 0, W = 0;
};
bool planes_of(nb::handle self, Planes& pl) {
    nb::object planes4 = self.attr("planes4");
    if (!nb::isinstance<nb::list>(planes4) || nb::len(planes4) != 3) return false;
    for (size_t k = 0; k < 3; ++k) {
        if (!f32_exact(nb::cast<nb::list>(planes4)[k], pl.v[k])) return false;
        const auto& sh = pl.v[k].shape;
        if (sh.size() != 3 || sh[2] != 4 || sh[0] == 0 || sh[1] == 0) return false;
        if (k > 0 && (sh[0] != pl.H || sh[1] != pl.W)) return false;
        pl.H = sh[0];
        pl.W = sh[1];
        pl.p[k] = pl.v[k].data;
    }
    return true;
}

// Runs f(i, worker) for i in [0, n) on up to `threads` threads (the caller's
// one of them); the first exception is rethrown after all have finished.
template <class F>
void for_each_frame(size_t n, size_t threads, F&& f) {
    const size_t T = std::max<size_t>(1, std::min(threads, n));
    std::atomic<size_t> next{0};
    std::exception_ptr err;
    std::atomic<bool> failed{false};
    auto work = [&](size_t w) {
        try {
            for (size_t i; !failed.load() && (i = next.fetch_add(1)) < n;) f(i, w);
        } catch (...) {
            if (!failed.exchange(true)) err = std::current_exception();
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(T - 1);
    for (size_t w = 1; w < T; ++w) {
        try {
            pool.emplace_back(work, w);
        } catch (const std::system_error&) {
            // no more threads to be had (a process or memory limit): the workers
            // already running and this thread share the frames
            break;
        }
    }
    work(0);
    for (auto& t : pool) t.join();
    if (err) std::rethrow_exception(err);
}

// ---- construction ----------------------------------------------------------

void renderer_init(nb::handle self, nb::handle pk, nb::handle idn, nb::handle threads) {
    nb::object sess = mod_get("ort_session");
    self.attr("s_mot") = sess(pk.attr("motion_path"), threads);
    self.attr("s_lite") = sess(pk.attr("lite_path"), threads);
    self.attr("idn") = idn;
    // the first image of the plane stack, channel-last, as three 4-channel images
    auto P = np::view<float>(idx(idn.attr("planes"), 0));
    if (P.ndim() != 3 || P.shape[0] < 12)
        orvane::raise_value_error("Renderer: the identity's plane stack must hold 12 channels per image, got shape " +
                                  shape_text(P.shape));
    const size_t H = P.shape[1], W = P.shape[2];
    auto p0 = np::empty<float>({H, W, 4}), p1 = np::empty<float>({H, W, 4}), p2 = np::empty<float>({H, W, 4});
    {
        nb::gil_scoped_release nogil;
        split_planes4(P.data, H, W, p0.data, p1.data, p2.data);
    }
    nb::list planes4;
    planes4.append(p0.obj);
    planes4.append(p1.obj);
    planes4.append(p2.obj);
    self.attr("planes4") = planes4;
    nb::object r = idn.attr("r");
    nb::dict fixed;
    fixed["f32"] = np::item(r, "g_f32");
    fixed["x_s"] = np::item(r, "x_s_t");
    self.attr("fixed") = fixed;
    self.attr("f128") = np::item(r, "g_f128");
    for (const char* name : {"roi_m", "roi_e"}) {
        nb::list vals;
        for (nb::handle v : idn.attr(name)) vals.append(np::py_float(v));
        self.attr(name) = nb::tuple(vals);
    }
}

// ---- feeds -------------------------------------------------------------------

// rows k of dst (T, R, ...) <- rows k of src, for the frames where act is set.
// Byte copies: dst and src share dtype and layout.
void replace_rows(uint8_t* dst, const uint8_t* src, const bool* act, size_t T, size_t frame_bytes, size_t row_bytes,
                  const int64_t* rows, size_t nrows) {
    for (size_t t = 0; t < T; ++t) {
        if (!act[t]) continue;
        for (size_t i = 0; i < nrows; ++i) {
            const size_t off = t * frame_bytes + (size_t)rows[i] * row_bytes;
            std::memcpy(dst + off, src + off, row_bytes);
        }
    }
}

// A C-contiguous array's data pointer and shape, without conversion.
struct Raw {
    uint8_t* data = nullptr;
    std::vector<size_t> shape;
    size_t itemsize = 0;
};
Raw raw(nb::handle arr) {
    Raw r;
    nb::object iface = arr.attr("__array_interface__");
    r.data = reinterpret_cast<uint8_t*>(nb::cast<uintptr_t>(idx(np::item(iface, "data"), 0)));
    for (nb::handle d : nb::cast<nb::tuple>(arr.attr("shape"))) r.shape.push_back(nb::cast<size_t>(d));
    r.itemsize = nb::cast<size_t>(arr.attr("dtype").attr("itemsize"));
    return r;
}
bool is_c_contig(nb::handle arr) { return truthy(arr.attr("flags").attr("c_contiguous")); }

std::vector<int64_t> rows_of(const char* name) {
    std::vector<int64_t> out;
    for (nb::handle v : mod_get(name)) out.push_back(np::to_i64(v));
    return out;
}

nb::object renderer_inputs(nb::handle self, nb::handle xd, nb::handle sel_in, nb::handle sL_in, nb::handle sR_in) {
    nb::object np_ = np::numpy();
    nb::object r = self.attr("idn").attr("r");
    nb::object sel = np_.attr("asarray")(sel_in), sL = np_.attr("asarray")(sL_in), sR = np_.attr("asarray")(sR_in);
    // gathers through numpy: its index rules (wrapping, bounds errors) hold
    nb::object xk = np_.attr("array")(np::item(np::item(r, "b_x"), sel));
    nb::object e_x = np::item(r, "e_x");
    nb::object xe = np_.attr("array")(np::item(e_x, sL));
    nb::object xr = np_.attr("array")(np::item(e_x, sR));
    nb::object act = np_.attr("logical_or")(np_.attr("greater")(sL, 0), np_.attr("greater")(sR, 0));
    std::vector<int64_t> rl = rows_of("ROWS_L"), rr = rows_of("ROWS_R");

    const bool same = is_c_contig(xk) && is_c_contig(xe) && is_c_contig(xr) &&
                      xk.attr("dtype").equal(xe.attr("dtype")) && xk.attr("dtype").equal(xr.attr("dtype"));
    Raw K = raw(xk), E = raw(xe), Rr = raw(xr);
    auto A = np::view<bool>(act);
    const bool fits = same && K.shape.size() >= 2 && K.shape == E.shape && K.shape == Rr.shape && A.ndim() == 1 &&
                      A.shape[0] == K.shape[0];
    if (fits) {
        const size_t T = K.shape[0], R = K.shape[1];
        size_t row_bytes = K.itemsize;
        for (size_t d = 2; d < K.shape.size(); ++d) row_bytes *= K.shape[d];
        std::vector<int64_t> lrows, rrows;
        for (int64_t k : rl) lrows.push_back(k < 0 ? k + (int64_t)R : k);
        for (int64_t k : rr) rrows.push_back(k < 0 ? k + (int64_t)R : k);
        for (const auto* rows : {&lrows, &rrows})
            for (int64_t k : *rows)
                if (k < 0 || k >= (int64_t)R)
                    orvane::raise_index_error("index " + std::to_string(k) + " is out of bounds for axis 1 with size " +
                                              std::to_string(R));
        nb::gil_scoped_release nogil;
        // left-eye rows from the left-eye entry, right-eye rows from the right-eye entry
        replace_rows(K.data, E.data, A.data, T, R * row_bytes, row_bytes, lrows.data(), lrows.size());
        replace_rows(K.data, Rr.data, A.data, T, R * row_bytes, row_bytes, rrows.data(), rrows.size());
    } else {
        // unusual layouts: numpy's own assignment rules (casts, broadcasting, errors)
        for (int64_t k : rl)
            xk.attr("__setitem__")(nb::make_tuple(act, k), np::item(xe, nb::make_tuple(act, k)));
        for (int64_t k : rr)
            xk.attr("__setitem__")(nb::make_tuple(act, k), np::item(xr, nb::make_tuple(act, k)));
    }
    nb::dict feeds;
    feeds["x_d"] = np::contiguous(xd, "float32");
    feeds["xk"] = xk;
    feeds["sel"] = sel;
    feeds["sL"] = sL;
    feeds["sR"] = sR;
    feeds["eyes"] = nb::bool_(truthy(act.attr("any")()));
    return feeds;
}

// ---- plane warp ----------------------------------------------------------------

// Warped colour planes of one grid (Hg x Wg x 2, float32) written channel-first
// into out (3 x Hg x Wg). xs, ys: caller's float32 (Hg, Wg) map arrays.
void warp_into(nb::handle self, nb::handle cv, const float* g, size_t Hg, size_t Wg, np::Out<float>& xs,
               np::Out<float>& ys, float* out) {
    const size_t npix = Hg * Wg;
    {
        nb::gil_scoped_release nogil;
        grid_to_pixel_maps(g, npix, xs.data, ys.data);
    }
    nb::object remap = cv.attr("remap");
    nb::object lin = cv.attr("INTER_LINEAR"), rep = cv.attr("BORDER_REPLICATE");
    nb::object planes4 = self.attr("planes4");
    np::View<float> s[3];
    for (size_t k = 0; k < 3; ++k) {
        nb::object smk = remap(idx(planes4, k), xs.obj, ys.obj, lin, nb::arg("borderMode") = rep);
        s[k] = np::view<float>(smk);
        if (s[k].size != 4 * npix)
            orvane::raise_value_error("Renderer: plane image " + std::to_string(k) +
                                      " must have 4 channels, remapped to shape " + shape_text(s[k].shape));
    }
    nb::gil_scoped_release nogil;
    cone_correct(s[0].data, s[1].data, s[2].data, xs.data, ys.data, npix, out);
}

nb::object renderer_warp_cone(nb::handle self, nb::handle g512) {
    nb::module_ cv = cv2();
    auto G = np::view<float>(g512);
    if (G.ndim() != 3 || G.shape[2] != 2)
        orvane::raise_value_error("_warp_cone: grid must have shape (H, W, 2), got " + shape_text(G.shape));
    const size_t Hg = G.shape[0], Wg = G.shape[1];
    auto out = np::empty<float>({3, Hg, Wg});
    Planes pl;
    if (native_ok(cv) && planes_of(self, pl)) {
        bool ok;
        {
            nb::gil_scoped_release nogil;
            ok = warp_cone_fused(pl.p, pl.H, pl.W, G.data, Hg * Wg, out.data, Hg * Wg);
        }
        if (ok) return out.obj;
    }
    auto xs = np::empty<float>({Hg, Wg}), ys = np::empty<float>({Hg, Wg});
    warp_into(self, cv, G.data, Hg, Wg, xs, ys, out.data);
    return out.obj;
}

// ---- patch compositing ---------------------------------------------------------

template <class T>
struct Strided3 {
    T* data;
    size_t C, H, W;
    ptrdiff_t sc, sy, sx;
};

template <class T>
Strided3<T> frame_of(nb::handle o) {
    if constexpr (std::is_same_v<T, float> || std::is_same_v<T, double>) {
        auto nd = nb::cast<nb::ndarray<T, nb::ndim<3>, nb::device::cpu>>(o, false);
        return {nd.data(), nd.shape(0), nd.shape(1), nd.shape(2), nd.stride(0), nd.stride(1), nd.stride(2)};
    } else {
        // float16 and long double arrays, which the ndarray caster does not take:
        // read the array's own description (native byte order checked by the caller)
        if (nb::cast<size_t>(o.attr("dtype").attr("itemsize")) != sizeof(T))
            orvane::raise_type_error("_composite: frames of type " + orvane::py_str(o.attr("dtype")) +
                                     " have an unexpected element size");
        nb::object iface = o.attr("__array_interface__");
        T* data = reinterpret_cast<T*>(nb::cast<uintptr_t>(idx(np::item(iface, "data"), 0)));
        size_t sh[3];
        ptrdiff_t st[3];
        nb::tuple shape = nb::cast<nb::tuple>(o.attr("shape")), strides = nb::cast<nb::tuple>(o.attr("strides"));
        for (size_t d = 0; d < 3; ++d) {
            sh[d] = nb::cast<size_t>(shape[d]);
            const ptrdiff_t b = nb::cast<ptrdiff_t>(strides[d]);
            if (b % (ptrdiff_t)sizeof(T) != 0)
                orvane::raise_value_error("_composite: the frame's strides are not whole elements");
            st[d] = b / (ptrdiff_t)sizeof(T);
        }
        return {data, sh[0], sh[1], sh[2], st[0], st[1], st[2]};
    }
}

// Scratch of one paste, reused across the pastes of a worker.
struct PasteScratch {
    std::vector<float> mx, my;
    // box and maps of the last paste, for the next one of the same frame at the
    // same region and patch size (the two eyes)
    bool reuse = false;
    double key[4] = {};
    size_t kh = 0, kw = 0;
    Box box;
};

// One patch as the paste needs it: placement factors, channel-first colours and
// the mask plane, all float32.
struct PatchRef {
    double sx, bx, sy, by;
    const float* rgb;
    size_t C, h, w;
    const float* mask0;
};

bool native_patch(const PatchRef& p) { return (p.C == 1 || p.C == 3 || p.C == 4) && p.h > 0 && p.w > 0; }

// Box, maps, both remaps and the blend of one patch into frame F, natively.
// Returns false, with F unchanged, when a map position is one the native
// remap does not take (not finite, or far beyond any image).
template <class G, class O>
bool paste(const Strided3<O>& F, const G* gm, const PatchRef& p, PasteScratch& sc) {
    const bool same = sc.reuse && sc.key[0] == p.sx && sc.key[1] == p.bx && sc.key[2] == p.sy && sc.key[3] == p.by &&
                      sc.kh == p.h && sc.kw == p.w;
    if (!same) {
        sc.box = patch_box<G>(gm, F.H, F.W, p.sx, p.bx, p.sy, p.by, p.w, p.h);
        sc.key[0] = p.sx, sc.key[1] = p.bx, sc.key[2] = p.sy, sc.key[3] = p.by;
        sc.kh = p.h, sc.kw = p.w;
    }
    const Box b = sc.box;
    if (!b.any) return true;
    const size_t npix = (b.r1 - b.r0) * (b.c1 - b.c0);
    if (!same) {
        sc.mx.resize(npix);
        sc.my.resize(npix);
        patch_maps<G>(gm, F.W, b, p.sx, p.bx, p.sy, p.by, p.w, p.h, sc.mx.data(), sc.my.data());
        for (size_t i = 0; i < npix; ++i)
            if (!coord_ok(sc.mx[i]) || !coord_ok(sc.my[i])) return false;
    }
    paste_blend<O>(F.data, F.sc, F.sy, F.sx, b.r0, b.r1, b.c0, b.c1, sc.mx.data(), sc.my.data(), p.mask0, p.rgb, p.C,
                   p.h, p.w);
    return true;
}

template <class G, class O>
void composite_t(nb::handle cv, nb::handle o, const Strided3<O>& F, nb::handle gm_arr, double sx, double bx,
                 double sy, double by, const np::View<float>& rgb, nb::handle mask0) {
    auto gm = np::view<G>(gm_arr);
    const size_t C = rgb.shape[0], h = rgb.shape[1], w = rgb.shape[2];
    const PatchRef pr{sx, bx, sy, by, rgb.data, C, h, w, nullptr};
    if (native_patch(pr) && native_ok(cv)) {
        auto m0 = np::view<float>(mask0);
        PatchRef p = pr;
        p.mask0 = m0.data;
        PasteScratch sc;
        bool done;
        {
            nb::gil_scoped_release nogil;
            done = paste<G, O>(F, gm.data, p, sc);
        }
        if (done) return;
    }
    Box b;
    {
        nb::gil_scoped_release nogil;
        b = patch_box<G>(gm.data, F.H, F.W, sx, bx, sy, by, w, h);
    }
    if (!b.any) return;  // nothing of the patch shows: the frame stays as it is
    const size_t bh = b.r1 - b.r0, bw = b.c1 - b.c0;
    auto mx = np::empty<float>({bh, bw}), my = np::empty<float>({bh, bw});
    auto hwc = np::empty<float>({h, w, C});
    {
        nb::gil_scoped_release nogil;
        patch_maps<G>(gm.data, F.W, b, sx, bx, sy, by, w, h, mx.data, my.data);
        for (size_t c = 0; c < C; ++c)
            for (size_t p = 0; p < h * w; ++p) hwc.data[p * C + c] = rgb.data[c * h * w + p];
    }
    nb::object remap = cv.attr("remap");
    nb::object lin = cv.attr("INTER_LINEAR");
    // alpha fades to 0 beyond the patch; colour keeps the edge so the fade does not darken
    auto alpha = np::view<float>(remap(mask0, mx.obj, my.obj, lin, nb::arg("borderMode") = cv.attr("BORDER_CONSTANT"),
                                       nb::arg("borderValue") = 0));
    auto colour = np::view<float>(remap(hwc.obj, mx.obj, my.obj, lin, nb::arg("borderMode") = cv.attr("BORDER_REPLICATE")));
    if (alpha.size != bh * bw || colour.size != bh * bw * C)
        orvane::raise_value_error("_composite: remapped patch has an unexpected shape");
    (void)o;
    nb::gil_scoped_release nogil;
    blend_box<O>(F.data, F.sc, F.sy, F.sx, C, b, alpha.data, colour.data);
}

// The placement factors (sx, bx, sy, by) of a region (top, bottom, left, right).
void roi_factors(nb::handle roi, double f[4]) {
    nb::object parts = unpacker(4)(roi);
    double edge[4];  // y0, y1, x0, x1
    for (size_t i = 0; i < 4; ++i) {
        nb::object v = idx(parts, i);
        // numbers only: float() would also read the text "12"
        if (!PyNumber_Check(v.ptr()))
            orvane::raise_type_error("_composite: roi values must be numbers, got '" +
                                     orvane::py_str(nb::type_name(v.type())) + "'");
        edge[i] = np::float_of(np::py_float(v));
    }
    const double Y0 = edge[0], Y1 = edge[1], X0 = edge[2], X1 = edge[3];
    auto factors = [](double a, double b, double& s, double& off) {
        const double den = b - a;
        if (den == 0.0) {  // the interpreter's own division error
            nb::object q = nb::steal(PyNumber_TrueDivide(nb::float_(512.0).ptr(), nb::float_(den).ptr()));
            throw nb::python_error();
        }
        s = 512.0 / den;
        off = (512.0 - 2.0 * a) / den;
    };
    factors(X0, X1, f[0], f[1]);
    factors(Y0, Y1, f[2], f[3]);
}

// The patch colours (C, h, w) and the contiguous mask plane 0, checked.
void patch_arrays(nb::handle rgb_in, nb::handle mask_in, np::View<float>& rgb, nb::object& mask0) {
    nb::object np_ = np::numpy();
    rgb = np::view<float>(rgb_in);
    if (rgb.ndim() != 3)
        orvane::raise_value_error("_composite: patch colours must have shape (C, h, w), got " + shape_text(rgb.shape));
    nb::object mask = np_.attr("asarray")(mask_in, nb::arg("dtype") = np::dtype("float32"));
    std::vector<size_t> msh;
    for (nb::handle d : nb::cast<nb::tuple>(mask.attr("shape"))) msh.push_back(nb::cast<size_t>(d));
    if (msh.size() == 3 && msh[0] == 0)
        orvane::raise_index_error("index 0 is out of bounds for axis 0 with size 0");
    if (msh.size() != 3 || msh[1] != rgb.shape[1] || msh[2] != rgb.shape[2])
        orvane::raise_value_error("_composite: mask of shape " + shape_text(msh) + " does not fit a patch of shape " +
                                  shape_text(rgb.shape));
    mask0 = np::contiguous(idx(mask, 0), "float32");
}

void composite_impl(nb::handle cv, nb::handle o, nb::handle gm, nb::handle roi, nb::handle rgb_in,
                    nb::handle mask_in) {
    double f[4];
    roi_factors(roi, f);
    const double sx = f[0], bx = f[1], sy = f[2], by = f[3];

    nb::object np_ = np::numpy();
    np::View<float> rgb;
    nb::object mask0;
    patch_arrays(rgb_in, mask_in, rgb, mask0);

    if (!nb::isinstance(o, np_.attr("ndarray")))
        orvane::raise_type_error("_composite: the frame must be a numpy array (it is changed in place)");
    const std::string odt = orvane::py_str(o.attr("dtype"));
    nb::object g = np_.attr("asarray")(gm);
    // float32 in either byte order computes in float32, as numpy would
    const bool g32 = orvane::py_str(g.attr("dtype").attr("kind")) == "f" &&
                     nb::cast<size_t>(g.attr("dtype").attr("itemsize")) == 4;
    auto check = [&](size_t C, size_t H, size_t W) {
        std::vector<size_t> gsh;
        for (nb::handle d : nb::cast<nb::tuple>(g.attr("shape"))) gsh.push_back(nb::cast<size_t>(d));
        if (gsh.size() != 3 || gsh[0] != H || gsh[1] != W || gsh[2] != 2)
            orvane::raise_value_error("_composite: grid of shape " + shape_text(gsh) + " does not fit a frame of shape " +
                                      shape_text({C, H, W}));
        if (rgb.shape[0] != C)
            orvane::raise_value_error("_composite: patch of " + std::to_string(rgb.shape[0]) +
                                      " channels for a frame of " + std::to_string(C));
    };
    nb::module_ cv_ = nb::borrow<nb::module_>(cv);
    const size_t ondim = nb::cast<size_t>(o.attr("ndim"));
    if (ondim != 3)
        orvane::raise_value_error("_composite: the frame must have shape (C, H, W), got " +
                                  orvane::py_str(o.attr("shape")));
    auto run = [&](auto tag) {
        using O = decltype(tag);
        if (!truthy(o.attr("flags").attr("writeable"))) orvane::raise_value_error("assignment destination is read-only");
        auto F = frame_of<O>(o);
        check(F.C, F.H, F.W);
        if (g32)
            composite_t<float, O>(cv_, o, F, g, sx, bx, sy, by, rgb, mask0);
        else
            composite_t<double, O>(cv_, o, F, g, sx, bx, sy, by, rgb, mask0);
    };
    if (odt == "float32")
        run(float{});
    else if (odt == "float64")
        run(double{});
    else if (odt == "float16")
        run(Half{});
    else if (o.attr("dtype").equal(np_.attr("dtype")(np_.attr("longdouble"))))
        run(static_cast<long double>(0));
    else
        orvane::raise_type_error("_composite: frames of type " + odt +
                                 " are not supported (float16, float32, float64 or long double, native byte order)");
}

nb::object composite(nb::handle o, nb::handle gm, nb::handle roi, nb::handle rgb, nb::handle mask) {
    composite_impl(cv2(), o, gm, roi, rgb, mask);
    return nb::none();
}

// ---- frames ------------------------------------------------------------------------

template <class T>
nb::object to_u8(nb::handle o) {
    if (nb::cast<size_t>(o.attr("ndim")) != 4)  // the (n, C, H, W) -> (n, H, W, C) transpose
        orvane::raise_value_error("axes don't match array");
    auto nd = nb::cast<nb::ndarray<const T, nb::ndim<4>, nb::device::cpu>>(o, false);
    const size_t n = nd.shape(0), C = nd.shape(1), H = nd.shape(2), W = nd.shape(3);
    const ptrdiff_t st[4] = {nd.stride(0), nd.stride(1), nd.stride(2), nd.stride(3)};
    auto out = np::empty<uint8_t>({n, H, W, C});
    nb::gil_scoped_release nogil;
    frames_to_u8<T>(nd.data(), n, C, H, W, st, out.data);
    return out.obj;
}

struct FaceRenderer {
    size_t threads = 1;  // workers of the host-side work of a batch
};

// The composite function as registered: run pastes natively only while the
// module's `_composite` is still this one.
nb::object* registered_composite = nullptr;

// Warps of all frames: each grid resized to 512 x 512 band by band and warped
// straight from the band. Returns false (nothing done) when the native path
// cannot take these inputs; frames with positions it refuses are redone
// through OpenCV.
bool warp_batch(nb::handle self, nb::handle cv, nb::handle grid64, size_t n, float* wrgb, size_t threads) {
    Planes pl;
    np::View<float> gv;
    if (!native_ok(cv) || !planes_of(self, pl) || !f32_exact(grid64, gv)) return false;
    if (gv.ndim() != 4 || gv.shape[0] != n || gv.shape[3] != 2 || gv.shape[1] == 0 || gv.shape[2] == 0) return false;
    const size_t Gh = gv.shape[1], Gw = gv.shape[2], plane = 512 * 512, band = 16;
    const LinearResize lr(Gh, Gw, 512, 512, 2);
    const size_t T = std::max<size_t>(1, std::min(threads, n));
    std::vector<std::vector<float>> bands(T, std::vector<float>(band * 512 * 2)), rows(T, std::vector<float>(2 * 512 * 2));
    std::vector<char> refused(n, 0);
    {
        nb::gil_scoped_release nogil;
        for_each_frame(n, T, [&](size_t i, size_t w) {
            const float* g = gv.data + i * Gh * Gw * 2;
            float* out = wrgb + i * 3 * plane;
            ResizeCursor cur;
            for (size_t y = 0; y < 512; y += band) {
                lr.rows(g, y, y + band, bands[w].data(), rows[w].data(), cur);
                if (!warp_cone_fused(pl.p, pl.H, pl.W, bands[w].data(), band * 512, out + y * 512, plane)) {
                    refused[i] = 1;
                    return;
                }
            }
        });
    }
    nb::object resize = cv.attr("resize");
    for (size_t i = 0; i < n; ++i) {
        if (!refused[i]) continue;
        auto g = np::view<float>(resize(idx(grid64, i), nb::make_tuple(512, 512), nb::arg("interpolation") = cv.attr("INTER_LINEAR")));
        auto xs = np::empty<float>({512, 512}), ys = np::empty<float>({512, 512});
        warp_into(self, cv, g.data, 512, 512, xs, ys, wrgb + i * 3 * plane);
    }
    return true;
}

// Pastes and byte conversion of all frames in one released section. Returns
// nothing (and changes nothing) when the native path cannot take these inputs.
template <class O>
nb::object paste_batch_t(nb::handle self, nb::handle feeds, nb::handle s, nb::handle l_, nb::handle r_, size_t n,
                         nb::handle o, const np::View<float>& gv, size_t threads) {
    auto nd = nb::cast<nb::ndarray<O, nb::ndim<4>, nb::device::cpu>>(o, false);
    const size_t C = nd.shape(1), H = nd.shape(2), W = nd.shape(3);
    if (nd.shape(0) != n || H != 512 || W != 512) return nb::object();
    const ptrdiff_t st[4] = {nd.stride(0), nd.stride(1), nd.stride(2), nd.stride(3)};
    nb::object r = self.attr("idn").attr("r");
    const bool eyes = truthy(np::item(feeds, "eyes"));
    double fm[4], fe[4];
    roi_factors(self.attr("roi_m"), fm);
    if (eyes) roi_factors(self.attr("roi_e"), fe);
    nb::object b_rgb = np::item(r, "b_rgb"), b_mask = np::item(r, "b_mask");
    nb::object e_rgb, e_mL, e_mR;
    if (eyes) e_rgb = np::item(r, "e_rgb"), e_mL = np::item(r, "e_mL"), e_mR = np::item(r, "e_mR");
    // every patch of the batch, in paste order, with the arrays that hold them
    const size_t per = eyes ? 3 : 1;
    std::vector<np::View<float>> rgbs(n * per);
    std::vector<nb::object> masks(n * per);
    std::vector<PatchRef> patches(n * per);
    std::vector<std::pair<nb::object, nb::object>> keep_of(n * per);  // (colours, mask) as given
    for (size_t i = 0; i < n; ++i) {
        nb::object si = idx(s, i);
        nb::object keep[6];
        keep[0] = np::item(b_rgb, si);
        keep[1] = np::item(b_mask, si);
        if (eyes) {
            nb::object li = idx(l_, i), ri = idx(r_, i);
            keep[2] = np::item(e_rgb, li);
            keep[3] = np::item(e_mL, li);
            keep[4] = np::item(e_rgb, ri);
            keep[5] = np::item(e_mR, ri);
        }
        for (size_t k = 0; k < per; ++k) {
            const size_t j = i * per + k;
            keep_of[j] = {keep[2 * k], keep[2 * k + 1]};
            patch_arrays(keep[2 * k], keep[2 * k + 1], rgbs[j], masks[j]);
            if (rgbs[j].shape[0] != C)
                orvane::raise_value_error("_composite: patch of " + std::to_string(rgbs[j].shape[0]) +
                                          " channels for a frame of " + std::to_string(C));
            const double* f = k == 0 ? fm : fe;
            PatchRef& p = patches[j];
            p = {f[0], f[1], f[2], f[3], rgbs[j].data, C, rgbs[j].shape[1], rgbs[j].shape[2], nullptr};
            p.mask0 = np::view_exact<float>(masks[j]).data;
            if (!native_patch(p)) return nb::object();
        }
    }
    const size_t Gh = gv.shape[1], Gw = gv.shape[2];
    const LinearResize lr(Gh, Gw, 512, 512, 2);
    const size_t T = std::max<size_t>(1, std::min(threads, n));
    std::vector<std::vector<float>> grids(T), rows(T);
    std::vector<PasteScratch> scratch(T);
    std::vector<size_t> refused(n, per);  // the first paste of a frame the native path refused
    auto out = np::empty<uint8_t>({n, H, W, C});
    {
        nb::gil_scoped_release nogil;
        for_each_frame(n, T, [&](size_t i, size_t w) {
            grids[w].resize(512 * 512 * 2);
            rows[w].resize(2 * 512 * 2);
            ResizeCursor cur;
            lr.rows(gv.data + i * Gh * Gw * 2, 0, 512, grids[w].data(), rows[w].data(), cur);
            scratch[w].reuse = false;  // a new grid
            const Strided3<O> F{nd.data() + (ptrdiff_t)i * st[0], C, H, W, st[1], st[2], st[3]};
            for (size_t k = 0; k < per; ++k, scratch[w].reuse = true)
                if (!paste<float, O>(F, grids[w].data(), patches[i * per + k], scratch[w])) {
                    refused[i] = k;
                    return;
                }
            frames_to_u8<O>(F.data, 1, C, H, W, st, out.data + i * H * W * C);
        });
    }
    // frames with a refused paste: that paste and the ones after it through OpenCV
    nb::module_ cv = cv2();
    for (size_t i = 0; i < n; ++i) {
        if (refused[i] == per) continue;
        nb::object gm = cv.attr("resize")(idx(gv.keep, i), nb::make_tuple(512, 512),
                                          nb::arg("interpolation") = cv.attr("INTER_LINEAR"));
        nb::object oi = idx(o, i);
        for (size_t k = refused[i]; k < per; ++k)
            composite_impl(cv, oi, gm, k == 0 ? self.attr("roi_m") : self.attr("roi_e"), keep_of[i * per + k].first,
                           keep_of[i * per + k].second);
        const Strided3<O> F{nd.data() + (ptrdiff_t)i * st[0], C, H, W, st[1], st[2], st[3]};
        nb::gil_scoped_release nogil;
        frames_to_u8<O>(F.data, 1, C, H, W, st, out.data + i * H * W * C);
    }
    return out.obj;
}

nb::object paste_batch(nb::handle self, nb::handle cv, nb::handle feeds, nb::handle s, nb::handle l_, nb::handle r_,
                       size_t n, nb::handle o, nb::handle gm64, size_t threads) {
    if (!registered_composite || !mod_get("_composite").is(*registered_composite) || !native_ok(cv)) return nb::object();
    np::View<float> gv;
    if (!f32_exact(gm64, gv) || gv.ndim() != 4 || gv.shape[0] != n || gv.shape[3] != 2 || gv.shape[1] == 0 ||
        gv.shape[2] == 0)
        return nb::object();
    nb::object np_ = np::numpy();
    if (!nb::isinstance(o, np_.attr("ndarray")) || nb::cast<size_t>(o.attr("ndim")) != 4 ||
        !truthy(o.attr("flags").attr("writeable")))
        return nb::object();
    const std::string dt = orvane::py_str(o.attr("dtype"));
    nb::object bo = o.attr("dtype").attr("isnative");
    if (!truthy(bo)) return nb::object();
    if (dt == "float32") return paste_batch_t<float>(self, feeds, s, l_, r_, n, o, gv, threads);
    if (dt == "float64") return paste_batch_t<double>(self, feeds, s, l_, r_, n, o, gv, threads);
    return nb::object();
}

nb::object renderer_run(nb::handle self, nb::handle feeds) {
    nb::module_ cv = cv2();
    nb::object np_ = np::numpy();
    nb::object idn = self.attr("idn");
    nb::object r = idn.attr("r");
    nb::object s = np::item(feeds, "sel"), l_ = np::item(feeds, "sL"), r_ = np::item(feeds, "sR");
    const size_t n = nb::len(s);
    const size_t threads = nb::inst_ptr<FaceRenderer>(self)->threads;

    nb::dict mf;
    for (auto kv : nb::cast<nb::dict>(self.attr("fixed"))) mf[kv.first] = kv.second;
    mf["x_d"] = np::item(feeds, "x_d");
    mf["bf32"] = np::item(np::item(r, "b_f32"), s);
    mf["xk"] = np::item(feeds, "xk");
    nb::object outs = unpacker(5)(self.attr("s_mot").attr("run")(nb::none(), mf));
    nb::object grid64 = idx(outs, 0), occ = idx(outs, 1), z = idx(outs, 2), y0 = idx(outs, 3), gm64 = idx(outs, 4);

    auto wrgb = np::empty<float>({n, 3, 512, 512});
    nb::object resize = cv.attr("resize");
    nb::object lin = cv.attr("INTER_LINEAR");
    nb::tuple dsize = nb::make_tuple(512, 512);
    if (!warp_batch(self, cv, grid64, n, wrgb.data, threads)) {
        auto xs = np::empty<float>({512, 512}), ys = np::empty<float>({512, 512});
        for (size_t i = 0; i < n; ++i) {
            auto g = np::view<float>(resize(idx(grid64, i), dsize, nb::arg("interpolation") = lin));
            if (g.ndim() != 3 || g.shape[0] != 512 || g.shape[1] != 512 || g.shape[2] != 2)
                orvane::raise_value_error("Renderer.run: sampling grid resized to shape " + shape_text(g.shape) +
                                          ", expected (512, 512, 2)");
            warp_into(self, cv, g.data, 512, 512, xs, ys, wrgb.data + i * 3 * 512 * 512);
        }
    }

    nb::dict lf;
    lf["wrgb"] = wrgb.obj;
    lf["grid64"] = grid64;
    lf["occ"] = occ;
    lf["y0"] = y0;
    lf["z"] = z;
    lf["f128"] = self.attr("f128");
    nb::object o = idx(self.attr("s_lite").attr("run")(nb::none(), lf), 0);

    nb::object done = paste_batch(self, cv, feeds, s, l_, r_, n, o, gm64, threads);
    if (done.is_valid()) return done;

    nb::object comp = mod_get("_composite");
    nb::object roi_m = self.attr("roi_m"), roi_e = self.attr("roi_e");
    nb::object b_rgb = np::item(r, "b_rgb"), b_mask = np::item(r, "b_mask");
    for (size_t i = 0; i < n; ++i) {
        nb::object oi = idx(o, i);
        nb::object gm = resize(idx(gm64, i), dsize, nb::arg("interpolation") = lin);
        nb::object si = idx(s, i);
        comp(oi, gm, roi_m, np::item(b_rgb, si), np::item(b_mask, si));
        if (truthy(np::item(feeds, "eyes"))) {
            nb::object e_rgb = np::item(r, "e_rgb");
            nb::object li = idx(l_, i), ri = idx(r_, i);
            comp(oi, gm, roi_e, np::item(e_rgb, li), np::item(np::item(r, "e_mL"), li));
            comp(oi, gm, roi_e, np::item(e_rgb, ri), np::item(np::item(r, "e_mR"), ri));
        }
    }

    nb::object oa = np_.attr("asarray")(o);
    const std::string dt = orvane::py_str(oa.attr("dtype"));
    if (dt == "float64") return to_u8<double>(oa);
    // long double frames convert as float64 ones (as they were composited);
    // float16 and the rest as float32 ones
    if (oa.attr("dtype").equal(np_.attr("dtype")(np_.attr("longdouble"))))
        return to_u8<double>(np::asarray(oa, "float64"));
    if (dt != "float32") oa = np::asarray(oa, "float32");
    return to_u8<float>(oa);
}



}  // namespace

void register_face_renderer(nb::module_& m) {
    nb::class_<FaceRenderer>(m, "Renderer", nb::dynamic_attr(),
                             "The f2u face renderer: 512 x 512 RGB face frames of one identity.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<FaceRenderer> self, nb::handle pk, nb::handle idn, nb::handle threads) {
                renderer_init(self.h, pk, idn, threads);
                // the host-side work of a batch uses as many workers as each model
                long t = 1;
                if (PyLong_Check(threads.ptr())) {
                    t = PyLong_AsLong(threads.ptr());
                    if (t == -1 && PyErr_Occurred()) PyErr_Clear();
                }
                new (self.p) FaceRenderer{(size_t)std::clamp(t, 1L, 64L)};
            },
            nb::arg("pk").none(), nb::arg("idn").none(), nb::arg("threads").none() = 1)
        .def("inputs", &renderer_inputs, nb::arg("xd").none(), nb::arg("sel").none(), nb::arg("sL").none(),
             nb::arg("sR").none(), "The per-batch feed record: keypoints, bank keypoints, bank indices, eye flag.")
        .def("_warp_cone", &renderer_warp_cone, nb::arg("g512").none(),
             "The identity's colour planes warped by one normalised grid, interpolation-corrected, (3, H, W).")
        .def("run", &renderer_run, nb::arg("feeds").none(), "Render one batch of feeds: uint8 (n, 512, 512, 3) RGB. The host-side work before and after the decoder "
             "runs on `threads` workers, each part in one section without the interpreter lock.");
    m.def("_composite", &composite, nb::arg("o").none(), nb::arg("gm").none(), nb::arg("roi").none(),
          nb::arg("rgb").none(), nb::arg("mask").none(),
          "Blend a patch under its mask into the channel-first frame o, in place, moved by the grid gm.");
    registered_composite = new nb::object(m.attr("_composite"));
}

}  // namespace f2u
