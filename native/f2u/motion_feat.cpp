// Motion-feature helpers: tau_feat, path_delta, rotvec_to_rotmat.
#include <cmath>
#include <string>

#include "f2u/constants.hpp"
#include "f2u/nparray.hpp"
#include "f2u/numeric.hpp"
#include "f2u/sources.hpp"

namespace f2u {

// ---- kernels ---------------------------------------------------------------

// Bin of an event age: edges <= tau, minus one. tau must lie in [0, 1e9).
static int tau_bin(double tau) {
    int k = 0;
    while (k + 1 < 14 && (double)TBINS[k + 1] <= tau) ++k;
    return k;
}

// First index with c[j] >= q (numpy searchsorted, side='left', NaN last).
static size_t search_left(const double* c, size_t K, double q) {
    size_t lo = 0, hi = K;
    while (lo < hi) {
        size_t mid = lo + (hi - lo) / 2;
        const double v = c[mid];
        const bool less = (v < q) || (std::isnan(q) && !std::isnan(v));
        if (less)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

// Storage type of the delta table or the knots. numpy forms the differences
// d[j] - d[j-1] and c[j] - c[j-1] in that type before they meet float64.
enum class Narrow { f64, f32, f16 };

static double narrow_diff(double a, double b, Narrow t) {
    switch (t) {
        case Narrow::f32:
            return (double)((float)a - (float)b);
        case Narrow::f16:  // half arithmetic: float32 difference, rounded to half
            return (double)f16_round((float)a - (float)b);
        default:
            return a - b;
    }
}

// Returns -1 on success, else the offending position index (a lookup that
// would leave the knot table).
static ptrdiff_t path_delta_kernel(const double* p, size_t n, const double* d, size_t M,
                                   const double* c, size_t K, const double* u, size_t nu,
                                   Narrow dt, Narrow ct, double* out) {
    const double c1 = c[1];
    const double den1 = (1e-9 > c1) ? 1e-9 : c1;  // Python max(c1, 1e-9)
    const double cl = c[K - 1];
    const double* dl = d + (K - 1) * M;
    for (size_t i = 0; i < n; ++i) {
        const double q = p[i];
        double* o = out + i * M;
        if (q <= 0) {
            const double s = q / den1;
            for (size_t m = 0; m < M; ++m) o[m] = s * d[M + m];
        } else if (q >= cl) {
            const double dq = q - cl;
            for (size_t m = 0; m < M; ++m) o[m] = dl[m] + dq * u[nu == 1 ? 0 : m];
        } else {
            const size_t j = search_left(c, K, q);
            if (j == 0 || j >= K) return (ptrdiff_t)i;
            const double seg = narrow_diff(c[j], c[j - 1], ct);
            const double w = (q - c[j - 1]) / ((1e-12 > seg) ? 1e-12 : seg);
            const double* d0 = d + (j - 1) * M;
            const double* d1 = d + j * M;
            for (size_t m = 0; m < M; ++m) o[m] = d0[m] + w * narrow_diff(d1[m], d0[m], dt);
        }
    }
    return -1;
}

static void rotmat_kernel(const double* w, size_t T, double* out) {
    for (size_t t = 0; t < T; ++t) {
        const double x = w[3 * t], y = w[3 * t + 1], z = w[3 * t + 2];
        const double th = std::sqrt(((0.0 + x * x) + y * y) + z * z);
        const bool small = th < 1e-8;
        const double ths = small ? 1.0 : th;
        const double A = small ? 1.0 : std::sin(ths) / ths;
        const double B = small ? 0.5 : (1.0 - std::cos(ths)) / (ths * ths);
        const double K[3][3] = {{0.0, -z, y}, {z, 0.0, -x}, {-y, x, 0.0}};
        double* R = out + 9 * t;
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b) {
                const double kk = (K[a][0] * K[0][b] + K[a][1] * K[1][b]) + K[a][2] * K[2][b];
                R[3 * a + b] = ((a == b ? 1.0 : 0.0) + A * K[a][b]) + B * kk;
            }
    }
}

// ---- bindings --------------------------------------------------------------

static nb::object tau_feat(nb::handle tau, nb::handle started) {
    const double t = np::float_of(tau);
    if (!(t >= 0.0) || !(t < (double)TBINS[13]))
        orvane::raise_value_error("tau_feat: tau must lie in [0, 1000000000), got " + orvane::py_repr(tau));
    const int st = PyObject_IsTrue(started.ptr());
    if (st < 0) throw nb::python_error();
    auto out = np::empty<float>({26});
    for (int i = 0; i < 26; ++i) out.data[i] = 0.0f;
    const int k = tau_bin(t);
    out.data[st ? k + 13 : k] = 1.0f;
    return out.obj;
}

static Narrow narrow_of(nb::handle arr) {
    const std::string t = orvane::py_str(arr.attr("dtype"));
    return t == "float32" ? Narrow::f32 : t == "float16" ? Narrow::f16 : Narrow::f64;
}

static nb::object path_delta(nb::handle p, nb::handle d, nb::handle c, nb::handle u) {
    auto P = np::view<double>(np::numpy().attr("atleast_1d")(np::asarray(p, "float64")));
    if (P.ndim() != 1) orvane::raise_value_error("path_delta: positions must be one-dimensional");
    nb::object d_arr = np::numpy().attr("asarray")(d), c_arr = np::numpy().attr("asarray")(c);
    const Narrow dt = narrow_of(d_arr), ct = narrow_of(c_arr);
    auto D = np::view<double>(d_arr);
    if (D.ndim() != 2)
        orvane::raise_index_error("path_delta: delta table must be two-dimensional (knots x columns)");
    auto Cn = np::view<double>(c_arr);
    if (Cn.ndim() != 1) orvane::raise_value_error("path_delta: knots must be one-dimensional");
    const size_t K = Cn.size, M = D.shape[1];
    if (K < 2) orvane::raise_value_error("path_delta: needs at least 2 knots, got " + std::to_string(K));
    // one delta row per knot: fewer would read past the table; more would leave
    // "the last row" ambiguous (row K - 1 or the table's own last row)
    if (D.shape[0] != K) {
        const std::string msg =
            "path_delta: delta table has " + std::to_string(D.shape[0]) + " rows for " + std::to_string(K) + " knots";
        if (D.shape[0] < K) orvane::raise_index_error(msg);
        orvane::raise_value_error(msg);
    }
    auto U = np::view<double>(u);
    if (!(U.size == 1 && U.ndim() <= 1) && !(U.ndim() == 1 && U.size == M))
        orvane::raise_value_error("path_delta: slope of shape " + orvane::py_str(U.keep.attr("shape")) +
                                  " does not broadcast against rows of width " + std::to_string(M));
    const size_t n = P.size;
    auto out = np::empty<double>({n, M});
    ptrdiff_t bad;
    {
        nb::gil_scoped_release nogil;
        bad = path_delta_kernel(P.data, n, D.data, M, Cn.data, K, U.data, U.size, dt, ct, out.data);
    }
    if (bad >= 0)
        orvane::raise_index_error("path_delta: position " + orvane::py_repr(nb::float_(P.data[bad])) +
                                  " has no bracketing knots");
    return out.obj;
}

static nb::object rotvec_to_rotmat(nb::handle w) {
    nb::object a = np::asarray(w, "float64").attr("reshape")(-1, 3);  // numpy's reshape error
    auto W = np::view<double>(a);
    const size_t T = W.shape[0];
    auto out = np::empty<double>({T, 3, 3});
    {
        nb::gil_scoped_release nogil;
        rotmat_kernel(W.data, T, out.data);
    }
    return out.obj;
}

void register_motion_feat(nb::module_& m) {
    m.def("tau_feat", &tau_feat, nb::arg("tau").none(), nb::arg("started").none(),
          "One-hot (26,) float32 age feature over the 13 bins of TBINS, second half when started.");
    m.def("path_delta", &path_delta, nb::arg("p").none(), nb::arg("d").none(), nb::arg("c").none(), nb::arg("u").none(),
          "Piecewise-linear lookup of delta rows d along knots c, slope u beyond the last knot.");
    m.def("rotvec_to_rotmat", &rotvec_to_rotmat, nb::arg("w").none(),
          "Rotation vectors (T, 3) to rotation matrices (T, 3, 3), Rodrigues formula.");
}

}  // namespace f2u
