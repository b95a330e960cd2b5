// Per-identity data and the feature-plane cone (image, d2x, d2y, d2xy).
#include <cstdint>
#include <string>
#include <vector>

#include "f2u/nparray.hpp"
#include "f2u/numeric.hpp"
#include "f2u/pyfile.hpp"
#include "f2u/sources.hpp"

namespace f2u {

// ---- cone kernel -------------------------------------------------------------

// Second difference along a row with the ends replicated:
// out[x] = (r[x-1] - 2 r[x]) + r[x+1], computed in T, rounded by rnd per step.
template <class T, class Round>
static inline void d2_row(const T* r, size_t W, T* out, Round rnd) {
    if (W == 1) {
        out[0] = rnd(rnd(r[0] - rnd(T(2.0) * r[0])) + r[0]);
        return;
    }
    out[0] = rnd(rnd(r[0] - rnd(T(2.0) * r[0])) + r[1]);
    for (size_t x = 1; x + 1 < W; ++x) out[x] = rnd(rnd(r[x - 1] - rnd(T(2.0) * r[x])) + r[x + 1]);
    out[W - 1] = rnd(rnd(r[W - 2] - rnd(T(2.0) * r[W - 1])) + r[W - 1]);
}

// One (H, W) plane: the plane itself, d2x, d2y and d2xy (float32 outputs).
// Grouping as the second differences are defined: (first - 2 centre) + second.
template <class T, class Round>
static void cone_plane(const T* P, size_t H, size_t W, float* o0, float* ox, float* oy, float* oxy,
                       T* rowbuf, Round rnd) {
    T* D = rowbuf;
    T* tmp = rowbuf + W;
    for (size_t y = 0; y < H; ++y) {
        const T* up = P + (y ? y - 1 : 0) * W;
        const T* c = P + y * W;
        const T* dn = P + (y + 1 < H ? y + 1 : H - 1) * W;
        float* r0 = o0 + y * W;
        for (size_t x = 0; x < W; ++x) r0[x] = (float)c[x];
        d2_row(c, W, tmp, rnd);
        float* rx = ox + y * W;
        for (size_t x = 0; x < W; ++x) rx[x] = (float)tmp[x];
        for (size_t x = 0; x < W; ++x) D[x] = rnd(rnd(up[x] - rnd(T(2.0) * c[x])) + dn[x]);
        float* ry = oy + y * W;
        for (size_t x = 0; x < W; ++x) ry[x] = (float)D[x];
        d2_row(D, W, tmp, rnd);
        float* rxy = oxy + y * W;
        for (size_t x = 0; x < W; ++x) rxy[x] = (float)tmp[x];
    }
}

template <class T, class Round>
static void cone_kernel(const T* P, size_t N, size_t C, size_t H, size_t W, float* out, Round rnd) {
    const size_t hw = H * W;
    std::vector<T> rows(2 * W);
    for (size_t n = 0; n < N; ++n)
        for (size_t c = 0; c < C; ++c) {
            const T* src = P + (n * C + c) * hw;
            float* base = out + n * 4 * C * hw;
            cone_plane<T>(src, H, W, base + c * hw, base + (C + c) * hw, base + (2 * C + c) * hw,
                          base + (3 * C + c) * hw, rows.data(), rnd);
        }
}

struct Exact {
    template <class T>
    T operator()(T x) const { return x; }
};

// numpy's own error for an edge extension it cannot make (wrong rank, or an
// empty axis to extend).
static void pad_edge(nb::handle a) {
    nb::object w = nb::make_tuple(nb::make_tuple(0, 0), nb::make_tuple(0, 0), nb::make_tuple(1, 1),
                                  nb::make_tuple(1, 1));
    np::numpy().attr("pad")(a, w, nb::arg("mode") = "edge");
}

// Data pointer of a C-contiguous numpy array of long double (numpy's
// longdouble when it has the C type's width); `keep` holds the owner.
static const long double* longdouble_data(nb::handle a, nb::object& keep) {
    keep = np::contiguous(a, "longdouble");
    nb::object iface = keep.attr("__array_interface__");
    return reinterpret_cast<const long double*>(
        nb::cast<uintptr_t>(np::item(np::item(iface, "data"), nb::int_(0))));
}

static nb::object cone(nb::handle P) {
    nb::object a = np::numpy().attr("asarray")(P);
    const size_t ndim = nb::cast<size_t>(a.attr("ndim"));
    if (ndim != 4) {
        pad_edge(a);
        orvane::raise_value_error("cone expects a 4-D array (N, C, H, W)");
    }
    const std::string kind = nb::cast<std::string>(a.attr("dtype").attr("kind"));
    const size_t itemsize = nb::cast<size_t>(a.attr("dtype").attr("itemsize"));
    if (kind == "c" || kind == "O" || kind == "U" || kind == "S" || kind == "V" || kind == "M" || kind == "m")
        orvane::raise_type_error("cone: unsupported element type " + orvane::py_str(a.attr("dtype")));
    nb::tuple sh = nb::cast<nb::tuple>(a.attr("shape"));
    const size_t N = nb::cast<size_t>(sh[0]), C = nb::cast<size_t>(sh[1]), H = nb::cast<size_t>(sh[2]),
                 W = nb::cast<size_t>(sh[3]);
    if (H == 0 || W == 0) pad_edge(a);  // raises: an empty axis cannot be edge-extended
    auto out = np::empty<float>({N, 4 * C, H, W});
    if (kind == "f" && itemsize == 4) {
        auto v = np::view<float>(a);
        nb::gil_scoped_release nogil;
        cone_kernel<float>(v.data, N, C, H, W, out.data, Exact{});
    } else if (kind == "f" && itemsize == 2) {
        // half arithmetic: each operation in float32, rounded back to half
        auto v = np::view<float>(a);
        nb::gil_scoped_release nogil;
        cone_kernel<float>(v.data, N, C, H, W, out.data, [](float x) { return f16_round(x); });
    } else if (kind == "f" && itemsize > 8 && itemsize == sizeof(long double)) {
        // extended precision stays extended until the float32 result
        nb::object keep;
        const long double* d = longdouble_data(a, keep);
        nb::gil_scoped_release nogil;
        cone_kernel<long double>(d, N, C, H, W, out.data, Exact{});
    } else {
        // float64, and integer/bool input promoted to float64 as numpy promotes
        // it against the 2.0 factor (never computed in the integer type)
        auto v = np::view<double>(a);
        nb::gil_scoped_release nogil;
        cone_kernel<double>(v.data, N, C, H, W, out.data, Exact{});
    }
    return out.obj;
}

// ---- Identity ------------------------------------------------------------------

struct Identity {};

static void identity_init(nb::handle self, nb::handle npz, nb::handle doc) {
    nb::dict mem = load_npz(npz);
    auto f64 = [&](const char* k) { return np::numpy().attr("array")(np::item(mem, k), nb::arg("dtype") = np::dtype("float64")); };
    auto f32c = [&](const char* k) { return np::copy_c(np::item(mem, k), "float32"); };
    auto f64_or_none = [&](const char* k) -> nb::object {
        nb::object m = np::item(mem, k);
        if (nb::cast<size_t>(m.attr("size")) == 0) return nb::none();
        return np::numpy().attr("array")(m, nb::arg("dtype") = np::dtype("float64"));
    };
    self.attr("doc") = doc;
    nb::dict src;
    src["kp_c"] = f64("src_kp_c");
    src["R"] = f64("src_R");
    src["exp"] = f64("src_exp");
    src["t"] = f64("src_t");
    src["scale"] = np::py_float(np::item(mem, "src_scale"));
    src["x_s"] = f32c("src_x_s");
    self.attr("src") = src;
    self.attr("idv") = f64("idv");
    self.attr("pose") = f64("pose");
    self.attr("shift") = np::py_float(np::item(mem, "shift"));
    self.attr("e_img") = f64("e_img");
    self.attr("xcal_m") = f64_or_none("xcal_m");
    self.attr("bank_key") = f64("bank_key");
    self.attr("bank_sd") = f64("bank_sd");
    self.attr("bank_proj") = f64_or_none("bank_proj");
    self.attr("bank_mu") = f64_or_none("bank_mu");
    self.attr("roi_m") = np::item(mem, "bank_roi").attr("astype")(np::dtype("float32"));
    self.attr("roi_e") = np::item(mem, "eb_roi").attr("astype")(np::dtype("float32"));
    nb::dict r;
    for (const char* k : {"g_src", "g_f32", "g_f128", "x_s_t", "b_rgb", "b_mask", "b_x", "b_f32", "e_rgb", "e_mL",
                          "e_mR", "e_x"})
        r[k] = f32c(k);
    self.attr("r") = r;
    self.attr("planes") = mod_get("cone")(r["g_src"]);
}

void register_identity(nb::module_& m) {
    nb::class_<Identity>(m, "Identity", nb::dynamic_attr(), "One avatar identity's arrays, read-only after load.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<Identity> self, nb::handle npz, nb::handle doc) {
                identity_init(self.h, npz, doc);
                new (self.p) Identity();
            },
            nb::arg("npz").none(), nb::arg("doc").none());
    m.def("cone", &cone, nb::arg("P").none(),
          "Feature-plane cone of (N, C, H, W): [P, d2x, d2y, d2xy] along channels, float32 (N, 4C, H, W).");
}

}  // namespace f2u
