// Eye aperture calibration: EyeMap (openness -> eye parameter per eye) and
// XCal (cross-calibration between the two eyes).
#include <cmath>
#include <string>
#include <vector>

#include "f2u/nparray.hpp"
#include "f2u/numeric.hpp"
#include "f2u/sources.hpp"

namespace f2u {

static nb::object interp_obj(const std::vector<double>& x, const std::vector<size_t>& shape,
                             const double* xp, const double* fp, size_t n) {
    auto out = np::empty<double>(shape);
    {
        nb::gil_scoped_release nogil;
        interp_kernel(x.data(), x.size(), xp, fp, n, out.data);
    }
    return out.obj;
}

// ---- EyeMap --------------------------------------------------------------------

struct EyeMap {};

// Running maximum of column s and the rows where it rises by more than 0.001.
static void eye_knots(const double* e, size_t n, size_t cols, size_t s, const double* P,
                      std::vector<double>& kx, std::vector<double>& ky, double& m0, double& mlast) {
    std::vector<double> m(n);
    for (size_t i = 0; i < n; ++i) {
        const double v = e[i * cols + s];
        if (i == 0) {
            m[i] = v;
        } else {
            const double a = m[i - 1];
            m[i] = (a >= v || std::isnan(a)) ? a : v;  // np.maximum: NaN propagates
        }
    }
    for (size_t i = 0; i < n; ++i)
        if (i == 0 || m[i] - m[i - 1] > 0.001) {
            kx.push_back(m[i]);
            ky.push_back(P[i]);
        }
    m0 = m[0];
    mlast = m[n - 1];
}

static nb::object vec_obj(const std::vector<double>& v) {
    auto o = np::empty<double>({v.size()});
    std::copy(v.begin(), v.end(), o.data);
    return o.obj;
}

static void eyemap_init(nb::handle self, nb::handle e_img, nb::handle P, nb::handle a_ref) {
    nb::object Pa = np::asarray(P, "float64");
    self.attr("P") = Pa;
    auto e = np::view<double>(e_img);
    auto Pv = np::view<double>(Pa);
    if (e.ndim() < 2)
        orvane::raise_index_error("too many indices for array: array is " + std::to_string(e.ndim()) +
                                  "-dimensional, but 2 were indexed");
    if (e.ndim() > 2)
        orvane::raise_index_error("EyeMap: e_img must be two-dimensional, got " + std::to_string(e.ndim()) +
                                  " dimensions");
    const size_t n = e.shape[0], cols = e.shape[1];
    if (cols < 2)
        orvane::raise_index_error("index " + std::to_string(cols) + " is out of bounds for axis 1 with size " +
                                  std::to_string(cols));
    if (n == 0) orvane::raise_index_error("index 0 is out of bounds for axis 0 with size 0");
    // Each calibration row belongs to one entry of P: refuse a P of another length.
    if (Pv.ndim() != 1 || Pv.size != n)
        orvane::raise_index_error("boolean index did not match indexed array along axis 0; size of axis is " +
                                  std::to_string(Pv.ndim() == 1 ? Pv.size : 0) +
                                  " but size of corresponding boolean axis is " + std::to_string(n));
    const double aref = np::float_of(a_ref);
    nb::list knots, rest, A;
    for (size_t s = 0; s < 2; ++s) {
        std::vector<double> kx, ky;
        double m0, ml;
        eye_knots(e.data, n, cols, s, Pv.data, kx, ky, m0, ml);
        knots.append(nb::make_tuple(vec_obj(kx), vec_obj(ky)));
        rest.append(nb::float_(m0));
        A.append(nb::float_(ml < aref ? ml : aref));
    }
    self.attr("knots") = knots;
    self.attr("rest") = rest;
    self.attr("A") = A;
}

static nb::object eyemap_key(nb::handle self, nb::handle f) {
    nb::object fa = np::asarray(f, "float64");
    const size_t len = nb::len(fa);  // a scalar has no length
    auto F = np::view<double>(fa);
    if (F.ndim() != 1) orvane::raise_value_error("EyeMap.key expects a one-dimensional sequence of fractions");
    auto out = np::empty<double>({len, 2});
    nb::object knots = self.attr("knots"), rest = self.attr("rest"), A = self.attr("A");
    for (size_t s = 0; s < 2; ++s) {
        const double r = np::float_of(np::item(rest, nb::int_(s)));
        const double a = np::float_of(np::item(A, nb::int_(s)));
        nb::object pair = np::item(knots, nb::int_(s));
        auto x = np::view<double>(np::item(pair, nb::int_(0)));
        auto y = np::view<double>(np::item(pair, nb::int_(1)));
        if (x.size != y.size) orvane::raise_value_error("fp and xp are not of the same length.");
        nb::gil_scoped_release nogil;
        std::vector<double> level(len), col(len);
        const double span = a - r;
        for (size_t i = 0; i < len; ++i) {
            double v = F.data[i];
            if (v < 0.0) v = 0.0;
            level[i] = r + v * span;
        }
        if (x.size < 2)
            std::fill(col.begin(), col.end(), 0.0);
        else
            interp_kernel(level.data(), len, x.data, y.data, x.size, col.data());
        for (size_t i = 0; i < len; ++i) out.data[2 * i + s] = col[i];
    }
    return out.obj;
}

// ---- XCal ------------------------------------------------------------------------

struct XCal {};

static void xcal_init(nb::handle self, nb::handle m, nb::handle P) {
    nb::object Pa = np::asarray(P, "float64");
    self.attr("P") = Pa;
    const int64_t n = (int64_t)nb::len(Pa);
    nb::object ma = np::asarray(m, "float64");
    auto mv = np::view<double>(ma);
    bool ok = mv.ndim() == 1 && (int64_t)mv.size == n - 1;
    for (size_t i = 0; ok && i < mv.size; ++i) ok = std::isfinite(mv.data[i]);
    if (!ok) orvane::raise_value_error("xcal_m must hold " + std::to_string(n - 1) + " finite floats");
    std::vector<double> a((size_t)n), b((size_t)n), s((size_t)n);
    for (int64_t i = 0; i < n; ++i) {
        a[(size_t)i] = (double)i;
        b[(size_t)i] = i == 0 ? 0.0 : mv.data[i - 1];
        s[(size_t)i] = 0.5 * (a[(size_t)i] + b[(size_t)i]);
    }
    self.attr("E") = n;
    self.attr("a") = vec_obj(a);
    self.attr("b") = vec_obj(b);
    self.attr("s") = vec_obj(s);
}

// interp(x, xp, fp) over float64 arrays, result shaped like x (0-d -> scalar).
static nb::object interp_like(nb::handle x, nb::handle xp, nb::handle fp) {
    nb::object xa = np::asarray(x, "float64");
    auto X = np::view<double>(xa);
    auto XP = np::view<double>(xp);
    auto FP = np::view<double>(fp);
    if (XP.size == 0) orvane::raise_value_error("array of sample points is empty");
    if (XP.size != FP.size) orvane::raise_value_error("fp and xp are not of the same length.");
    std::vector<double> xv(X.data, X.data + X.size);
    nb::object r = interp_obj(xv, X.shape, XP.data, FP.data, XP.size);
    if (X.ndim() == 0) return np::item(r, nb::tuple());
    return r;
}

static nb::object xcal_lev(nb::handle self, nb::handle p) {
    return interp_like(p, self.attr("P"), self.attr("a"));
}
static nb::object xcal_par(nb::handle self, nb::handle lv) {
    return interp_like(lv, self.attr("a"), self.attr("P"));
}

static nb::object xcal_keys(nb::handle self, nb::handle kfl) {
    auto K = np::view<double>(kfl);
    if (K.ndim() != 2)
        orvane::raise_index_error("too many indices for array: array is " + std::to_string(K.ndim()) +
                                  "-dimensional, but 2 were indexed");
    if (K.shape[1] < 2)
        orvane::raise_index_error("index " + std::to_string(K.shape[1]) + " is out of bounds for axis 1 with size " +
                                  std::to_string(K.shape[1]));
    const size_t N = K.shape[0], cols = K.shape[1];
    auto P = np::view<double>(self.attr("P"));
    auto a = np::view<double>(self.attr("a"));
    auto b = np::view<double>(self.attr("b"));
    auto s = np::view<double>(self.attr("s"));
    if (P.size == 0 || a.size == 0 || s.size == 0) orvane::raise_value_error("array of sample points is empty");
    if (P.size != a.size || a.size != b.size || s.size != a.size)
        orvane::raise_value_error("fp and xp are not of the same length.");
    auto out = np::empty<double>({N, 2});
    {
        nb::gil_scoped_release nogil;
        const size_t n = P.size;
        std::vector<double> c0(N), c1(N), l0(N), l1(N), sstar(N), la(N), lb(N), r0(N), r1(N);
        for (size_t i = 0; i < N; ++i) {
            c0[i] = K.data[i * cols];
            c1[i] = K.data[i * cols + 1];
        }
        interp_kernel(c0.data(), N, P.data, a.data, n, l0.data());
        interp_kernel(c1.data(), N, P.data, a.data, n, l1.data());
        for (size_t i = 0; i < N; ++i) sstar[i] = 0.5 * (l0[i] + l1[i]);
        std::vector<double> sk, ak;
        for (size_t i = 0; i < n; ++i)
            if (i == 0 || s.data[i] - s.data[i - 1] > 1e-9) {
                sk.push_back(s.data[i]);
                ak.push_back(a.data[i]);
            }
        interp_kernel(sstar.data(), N, sk.data(), ak.data(), sk.size(), la.data());
        interp_kernel(la.data(), N, a.data, b.data, n, lb.data());
        interp_kernel(la.data(), N, a.data, P.data, n, r0.data());
        interp_kernel(lb.data(), N, a.data, P.data, n, r1.data());
        for (size_t i = 0; i < N; ++i) {
            out.data[2 * i] = r0[i];
            out.data[2 * i + 1] = r1[i];
        }
    }
    return out.obj;
}

void register_eyecal(nb::module_& m) {
    nb::class_<EyeMap>(m, "EyeMap", nb::dynamic_attr(), "Openness fraction -> eye parameter, per eye.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<EyeMap> self, nb::handle e_img, nb::handle P, nb::handle a_ref) {
                eyemap_init(self.h, e_img, P, a_ref);
                new (self.p) EyeMap();
            },
            nb::arg("e_img").none(), nb::arg("P").none(), nb::arg("a_ref").none() = 0.73)
        .def("key", &eyemap_key, nb::arg("f").none(), "Eye parameters (len(f), 2) of openness fractions f.");
    nb::class_<XCal>(m, "XCal", nb::dynamic_attr(), "Cross-calibration of the two eyes' parameters.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<XCal> self, nb::handle mm, nb::handle P) {
                xcal_init(self.h, mm, P);
                new (self.p) XCal();
            },
            nb::arg("m").none(), nb::arg("P").none())
        .def("lev", &xcal_lev, nb::arg("p").none(), "Level index of eye-parameter values.")
        .def("par", &xcal_par, nb::arg("lv").none(), "Eye-parameter value of level indices.")
        .def("keys", &xcal_keys, nb::arg("kfl").none(), "Calibrated (N, 2) pairs of eye parameters.");
}

}  // namespace f2u
