// Numeric helpers of the f2u module: f16rt, zscore_native, _Np, bweights, and
// the shared kernels (pairwise sum, half-precision round trip, np.interp).
#include "f2u/numeric.hpp"

#include <cmath>
#include <vector>

#include "f2u/nparray.hpp"
#include "f2u/sources.hpp"

namespace f2u {

void f16rt_kernel(const float* x, float* out, size_t n) {
    for (size_t i = 0; i < n; ++i) out[i] = f16_round(x[i]);
}

// Same blocking as numpy's add.reduce over a contiguous float64 run: below 8
// a plain running sum, up to 128 eight interleaved accumulators, above that a
// split at a multiple of 8 near the middle.
static double pairwise_rec(const double* a, size_t n) {
    if (n < 8) {
        double res = 0.;
        for (size_t i = 0; i < n; ++i) res += a[i];
        return res;
    }
    if (n <= 128) {
        double r[8];
        for (int k = 0; k < 8; ++k) r[k] = a[k];
        size_t i;
        for (i = 8; i < n - (n % 8); i += 8)
            for (int k = 0; k < 8; ++k) r[k] += a[i + k];
        double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
        for (; i < n; ++i) res += a[i];
        return res;
    }
    size_t n2 = n / 2;
    n2 -= n2 % 8;
    return pairwise_rec(a, n2) + pairwise_rec(a + n2, n - n2);
}

double pairwise_sum(const double* a, size_t n) {
    // the reduction starts from the additive identity
    return 0.0 + pairwise_rec(a, n);
}

void zscore_kernel(const double* x, float* out, size_t n) {
    if (n == 0) return;
    const double dn = (double)n;
    const double mu = pairwise_sum(x, n) / dn;
    std::vector<double> sq(n);
    for (size_t i = 0; i < n; ++i) {
        double c = x[i] - mu;
        sq[i] = c * c;
    }
    const double var = pairwise_sum(sq.data(), n) / dn;
    // The scale factor alone passes through float32.
    const float v = (float)var;
    const float d = v + (float)1e-7;
    const float r = std::sqrt(d);
    const float inv = 1.0f / r;
    const double invd = (double)inv;
    for (size_t i = 0; i < n; ++i) out[i] = (float)((x[i] - mu) * invd);
}

// numpy's guessed bisection for interp: index j with xp[j] <= key < xp[j+1],
// -1 below the first knot, len above the last.
static ptrdiff_t search_guess(double key, const double* arr, ptrdiff_t len, ptrdiff_t guess) {
    const ptrdiff_t CACHE = 8;
    ptrdiff_t imin = 0, imax = len;
    if (key > arr[len - 1]) return len;
    if (key < arr[0]) return -1;
    if (len <= 4) {
        ptrdiff_t i;
        for (i = 1; i < len && key >= arr[i]; ++i) {
        }
        return i - 1;
    }
    if (guess > len - 3) guess = len - 3;
    if (guess < 1) guess = 1;
    if (key < arr[guess]) {
        if (key < arr[guess - 1]) {
            imax = guess - 1;
            if (guess > CACHE && key >= arr[guess - CACHE]) imin = guess - CACHE;
        } else {
            return guess - 1;
        }
    } else {
        if (key < arr[guess + 1]) return guess;
        if (key < arr[guess + 2]) return guess + 1;
        imin = guess + 2;
        if (guess < len - CACHE - 1 && key < arr[guess + CACHE]) imax = guess + CACHE;
    }
    while (imin < imax) {
        const ptrdiff_t imid = imin + ((imax - imin) >> 1);
        if (key >= arr[imid])
            imin = imid + 1;
        else
            imax = imid;
    }
    return imin - 1;
}

void interp_kernel(const double* x, size_t nx, const double* xp, const double* fp, size_t np_,
                   double* out) {
    const ptrdiff_t len = (ptrdiff_t)np_;
    if (len == 0) {  // numpy refuses empty knots; callers raise first, this never reads fp[-1]
        for (size_t i = 0; i < nx; ++i) out[i] = std::nan("");
        return;
    }
    const double lval = fp[0], rval = fp[len - 1];
    if (len == 1) {
        for (size_t i = 0; i < nx; ++i) {
            const double v = x[i];
            out[i] = (v < xp[0]) ? lval : ((v > xp[0]) ? rval : fp[0]);
        }
        return;
    }
    ptrdiff_t j = 0;
    for (size_t i = 0; i < nx; ++i) {
        const double v = x[i];
        if (std::isnan(v)) {
            out[i] = v;
            continue;
        }
        j = search_guess(v, xp, len, j);
        if (j == -1) {
            out[i] = lval;
        } else if (j == len) {
            out[i] = rval;
        } else if (j == len - 1) {
            out[i] = fp[j];
        } else if (xp[j] == v) {
            out[i] = fp[j];
        } else {
            const double slope = (fp[j + 1] - fp[j]) / (xp[j + 1] - xp[j]);
            double r = slope * (v - xp[j]) + fp[j];
            if (std::isnan(r)) {
                r = slope * (v - xp[j + 1]) + fp[j + 1];
                if (std::isnan(r) && fp[j] == fp[j + 1]) r = fp[j];
            }
            out[i] = r;
        }
    }
}

// ---------------------------------------------------------------------------

static nb::object f16rt(nb::handle x) {
    auto in = np::view<float>(np::asarray(x, "float32"));
    auto out = np::empty<float>(in.shape);
    {
        nb::gil_scoped_release nogil;
        f16rt_kernel(in.data, out.data, in.size);
    }
    return out.obj;
}

static nb::object zscore_native(nb::handle buf) {
    // the array's own conversion: refuses what is not an array
    nb::object x = buf.attr("astype")(np::dtype("float64"));
    // astype keeps the memory layout (order 'K'), and numpy reduces in memory
    // order: sum the flat memory-order run, write the result in that layout.
    const bool c_order = nb::cast<bool>(x.attr("flags").attr("c_contiguous"));
    nb::object flat = c_order ? x : np::numpy().attr("ascontiguousarray")(x.attr("ravel")("K"));
    auto in = np::view_exact<double>(flat);
    auto out = np::empty<float>(c_order ? in.shape : std::vector<size_t>{in.size});
    {
        nb::gil_scoped_release nogil;
        zscore_kernel(in.data, out.data, in.size);
    }
    if (c_order) return out.obj;
    nb::object res = np::numpy().attr("empty_like")(x, nb::arg("dtype") = np::dtype("float32"));
    nb::object dst = res.attr("ravel")("K");  // a view for a fresh, dense empty_like
    if (!nb::cast<bool>(np::numpy().attr("may_share_memory")(dst, res)))
        orvane::raise_runtime_error("zscore_native: result layout is not dense");
    np::numpy().attr("copyto")(dst, out.obj);
    return res;
}

static double ipow(double b, int64_t p) {
    if (p == 0) return 1.0;
    if (p == 1) return b;
    if (p == 2) return b * b;
    return std::pow(b, (double)p);
}

// Signed binomial coefficients (-1)^k C(p+1, k), k = 0..p+1, and p!, each the
// exact integer rounded once to float64 (as numpy takes a Python int). From
// p = 171 on p! has no float64 form: that degree fails with Python's own
// OverflowError before any work is done.
struct BSplineCoefs {
    std::vector<double> c;
    double fact = 1.0;
};

static double long_to_double(nb::handle v) {
    const double d = PyLong_AsDouble(v.ptr());
    if (d == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return d;
}

static BSplineCoefs bspline_coefs(int64_t p) {
    if (p < 0) orvane::raise_value_error("factorial() not defined for negative values");
    if (p > 170) orvane::raise(PyExc_OverflowError, "int too large to convert to float");
    nb::module_ math = orvane::py_import("math");
    BSplineCoefs r;
    r.c.resize((size_t)p + 2);
    for (int64_t k = 0; k <= p + 1; ++k) {
        const double c = long_to_double(math.attr("comb")(p + 1, k));
        r.c[(size_t)k] = (k % 2) ? -c : c;
    }
    r.fact = long_to_double(math.attr("factorial")(p));
    return r;
}

// Cardinal B-spline of degree p by truncated powers, in float64.
static void np_kernel(const double* x, size_t n, int64_t p, const BSplineCoefs& cf, double* out) {
    for (size_t i = 0; i < n; ++i) {
        double s = 0.0;
        for (int64_t k = 0; k <= p + 1; ++k) {
            double d = x[i] - (double)k;
            double t = d > 0.0 ? d : (std::isnan(d) ? d : 0.0);  // np.maximum keeps NaN
            s = s + cf.c[(size_t)k] * ipow(t, p);
        }
        out[i] = s / cf.fact;
    }
}

static int64_t degree_of(nb::handle p) {
    return np::to_i64(p);  // TypeError for a non-integer degree
}

static nb::object Np(nb::handle x, nb::handle p) {
    auto in = np::view<double>(np::asarray(x, "float64"));
    const int64_t deg = degree_of(p);
    const BSplineCoefs cf = bspline_coefs(deg);
    auto out = np::empty<double>(in.shape);
    {
        nb::gil_scoped_release nogil;
        np_kernel(in.data, in.size, deg, cf, out.data);
    }
    return out.obj;
}

static nb::object bweights(nb::handle u, nb::handle p) {
    auto in = np::view<double>(np::asarray(u, "float64"));
    std::vector<size_t> shape = in.shape;
    // `p == 3` as Python compares it (3.0 takes the closed form too)
    const int cubic = PyObject_RichCompareBool(p.ptr(), nb::int_(3).ptr(), Py_EQ);
    if (cubic < 0) throw nb::python_error();
    if (cubic) {
        shape.push_back(4);
        auto out = np::empty<double>(shape);
        {
            nb::gil_scoped_release nogil;
            for (size_t i = 0; i < in.size; ++i) {
                const double v = in.data[i];
                const double u3 = std::pow(v, 3.0), u2 = v * v;
                const double om = 1.0 - v;
                double* o = out.data + 4 * i;
                o[0] = std::pow(om, 3.0) / 6.0;
                o[1] = ((3.0 * u3 - 6.0 * u2) + 4.0) / 6.0;
                o[2] = (((-3.0 * u3 + 3.0 * u2) + 3.0 * v) + 1.0) / 6.0;
                o[3] = u3 / 6.0;
            }
        }
        return out.obj;
    }
    const int64_t deg = degree_of(p);
    const BSplineCoefs cf = bspline_coefs(deg);
    shape.push_back((size_t)deg + 1);
    auto out = np::empty<double>(shape);
    if (deg == 0) {
        // One control point carries the whole weight. Truncated powers cannot
        // give it: with 0^0 = 1 both terms of _Np(u, 0) are 1 and cancel to 0.
        {
            nb::gil_scoped_release nogil;
            for (size_t i = 0; i < in.size; ++i) out.data[i] = std::isnan(in.data[i]) ? in.data[i] : 1.0;
        }
        return out.obj;
    }
    {
        nb::gil_scoped_release nogil;
        std::vector<double> arg(in.size), col(in.size);
        const size_t w = (size_t)deg + 1;
        for (int64_t k = 0; k <= deg; ++k) {
            for (size_t i = 0; i < in.size; ++i) arg[i] = (in.data[i] + (double)deg) - (double)k;
            np_kernel(arg.data(), in.size, deg, cf, col.data());
            for (size_t i = 0; i < in.size; ++i) out.data[i * w + (size_t)k] = col[i];
        }
    }
    return out.obj;
}

void register_numeric(nb::module_& m) {
    m.def("f16rt", &f16rt, nb::arg("x").none(),
          "Round float32 values through half precision (ties to even); float32 result.");
    m.def("zscore_native", &zscore_native, nb::arg("buf").none(),
          "Standardise over all elements: float64 mean/variance, float32 scale factor.");
    m.def("_Np", &Np, nb::arg("x").none(), nb::arg("p").none(), "Cardinal B-spline of degree p.");
    m.def("bweights", &bweights, nb::arg("u").none(), nb::arg("p").none() = 3,
          "The p + 1 uniform B-spline weights of fractional positions u.");
}

}  // namespace f2u
