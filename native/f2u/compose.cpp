// Keypoint composition (motion rows -> driving keypoints) and the head-pose
// track built on it.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "f2u/heads.hpp"
#include "f2u/nparray.hpp"
#include "f2u/shape_text.hpp"

namespace f2u {

// Keypoints of T frames before stitching, float64:
//   x[t, k, d] = scale * (sum_c kp_c[k, c] * Rt[c, d] + E[t, k, d]) + t3[d]
// with Rt = rot[t] . R (3 x 3 products summed over c = 0, 1, 2 in order) and
// E = exp plus the frame's driven offsets at the columns `idx` (each once).
static void compose_kernel(const double* rot, const double* m, size_t T, size_t M, const double* R,
                           const double* kp_c, const double* exp, const int64_t* idx, size_t nidx, double scale,
                           double t0, double t1, double* x) {
    double E[63];
    for (size_t t = 0; t < T; ++t) {
        const double* rt = rot + 9 * t;
        double Rt[9];
        for (int a = 0; a < 3; ++a)
            for (int b = 0; b < 3; ++b)
                Rt[3 * a + b] = (rt[3 * a] * R[b] + rt[3 * a + 1] * R[3 + b]) + rt[3 * a + 2] * R[6 + b];
        for (size_t j = 0; j < 63; ++j) E[j] = exp[j];
        const double* mr = m + t * M;
        for (size_t i = 0; i < nidx; ++i) E[idx[i]] += mr[idx[i]];
        double* xt = x + t * 63;
        const double t3[3] = {t0, t1, 0.0};
        for (size_t k = 0; k < 21; ++k)
            for (int d = 0; d < 3; ++d) {
                const double s = (kp_c[3 * k] * Rt[d] + kp_c[3 * k + 1] * Rt[3 + d]) + kp_c[3 * k + 2] * Rt[6 + d];
                xt[3 * k + d] = scale * (s + E[3 * k + d]) + t3[d];
            }
    }
}

// `arr` of exactly n values (any shape), float64, C order.
static np::View<double> values(nb::handle arr, size_t n, const char* what) {
    auto v = np::view<double>(arr);
    if (v.size != n)
        orvane::raise_value_error(std::string("compose: ") + what + " holds " + std::to_string(v.size) +
                                  " values, expected " + std::to_string(n));
    return v;
}

static nb::object compose(nb::handle pk, nb::handle src, nb::handle m_in) {
    auto Mv = np::view<double>(np::asarray(m_in, "float64"));
    if (Mv.ndim() != 2)
        orvane::raise_index_error("compose: motion rows must be two-dimensional, got shape " + shape_text(Mv.shape));
    const size_t T = Mv.shape[0], M = Mv.shape[1];
    if (M < 66)
        orvane::raise_index_error("index 65 is out of bounds for axis 1 with size " + std::to_string(M));

    // driven columns: DRIVEN then EYE_DIMS, each column once. Joined as numpy
    // joins them, so a float list makes the whole index float and is refused.
    nb::object cat = np::numpy().attr("concatenate")(nb::make_tuple(pk.attr("DRIVEN"), pk.attr("EYE_DIMS")));
    const std::string kind = orvane::py_str(cat.attr("dtype").attr("kind"));
    if (kind != "i" && kind != "u" && nb::len(cat) > 0)
        orvane::raise_index_error("arrays used as indices must be of integer (or boolean) type");
    std::vector<int64_t> idx;
    auto v = np::view<int64_t>(cat);
    for (size_t i = 0; i < v.size; ++i) {
        const int64_t j = v.data[i];
        if (j < 0 || j >= 63)
            orvane::raise_index_error("index " + std::to_string(j) + " is out of bounds for axis 1 with size 63");
        if (j >= (int64_t)M)
            orvane::raise_index_error("index " + std::to_string(j) + " is out of bounds for axis 1 with size " +
                                      std::to_string(M));
        if (std::find(idx.begin(), idx.end(), j) == idx.end()) idx.push_back(j);
    }

    nb::object kp_o = np::item(src, "kp_c"), R_o = np::item(src, "R"), exp_o = np::item(src, "exp");
    nb::object t_o = np::item(src, "t"), scale_o = np::item(src, "scale"), xs_o = np::item(src, "x_s");
    auto R = values(R_o, 9, "R");
    auto kp = values(kp_o, 63, "kp_c");
    auto ex = values(exp_o, 63, "exp");
    auto tv = np::view<double>(np::numpy().attr("ravel")(np::asarray(t_o, "float64")));
    if (tv.size < 2)
        orvane::raise_index_error("index " + std::to_string(tv.size) + " is out of bounds for axis 0 with size " +
                                  std::to_string(tv.size));
    const double scale = np::float_of(np::py_float(scale_o));

    if (T == 0)  // nothing to stitch: the stitching network cannot reshape zero rows
        return np::empty<float>({0, 21, 3}).obj;

    // rotation matrices of the rows' rotation vectors
    nb::object rv = np::item(Mv.keep, nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()),
                                                     nb::slice(nb::int_(63), nb::int_(66), nb::none())));
    auto rot = np::view<double>(mod_get("rotvec_to_rotmat")(rv));
    if (rot.size != 9 * T) orvane::raise_value_error("compose: rotvec_to_rotmat returned the wrong shape");

    auto x = np::empty<double>({T, 21, 3});
    {
        nb::gil_scoped_release nogil;
        compose_kernel(rot.data, Mv.data, T, M, R.data, kp.data, ex.data, idx.data(), idx.size(), scale,
                       tv.data[0], tv.data[1], x.data);
    }
    // the source keypoints once per frame, as the stitching network's reference
    auto xs1 = np::view<float>(xs_o);
    if (xs1.size != 63)
        orvane::raise_value_error("compose: x_s holds " + std::to_string(xs1.size) + " values, expected 63");
    auto xs = np::empty<float>({T, 21, 3});
    for (size_t t = 0; t < T; ++t) std::copy(xs1.data, xs1.data + 63, xs.data + 63 * t);
    nb::object xd = pk.attr("stitch")(xs.obj, x.obj);
    return np::asarray(xd, "float32");
}

static nb::object pose_track(nb::handle pk, nb::handle idn, nb::handle rows_m) {
    // looked up at every call: the full-body module loads with the first pose track
    nb::module_ fb = orvane::py_import("orvane._f2u.fullbody");
    if (!nb::hasattr(fb, "pose_T")) {
        nb::object file = nb::getattr(fb, "__file__", nb::none());
        orvane::raise(PyExc_ImportError, "cannot import name 'pose_T' from 'orvane._f2u.fullbody' (" +
                                             (file.is_none() ? std::string("unknown location") : orvane::py_str(file)) +
                                             ")");
    }
    nb::object pose_T = fb.attr("pose_T");
    auto Rv = np::view<double>(np::asarray(rows_m, "float64"));
    if (Rv.ndim() != 2)
        orvane::raise_index_error("pose_track: motion rows must be two-dimensional, got shape " +
                                  shape_text(Rv.shape));
    const size_t T = Rv.shape[0], M = Rv.shape[1];
    if (M < 66) orvane::raise_index_error("index 65 is out of bounds for axis 1 with size " + std::to_string(M));
    // only the head rotation follows the rows; every offset stays the identity's own
    auto m = np::empty<double>({T, 69});
    for (size_t t = 0; t < T; ++t) {
        double* r = m.data + 69 * t;
        std::fill(r, r + 69, 0.0);
        for (size_t c = 63; c < 66; ++c) r[c] = Rv.data[t * M + c];
    }
    nb::object src = idn.attr("src");
    nb::object xd = mod_get("compose")(pk, src, m.obj);
    return pose_T(np::item(src, "x_s"), xd);
}

void register_compose(nb::module_& m) {
    m.def("compose", &compose, nb::arg("pk").none(), nb::arg("src").none(), nb::arg("m").none(),
          "Driving keypoints (T, 21, 3) float32 of motion rows: rotated canonical keypoints plus offsets, "
          "scaled, translated and stitched.");
}

void register_pose_track(nb::module_& m) {
    m.def("pose_track", &pose_track, nb::arg("pk").none(), nb::arg("idn").none(), nb::arg("rows_m").none(),
          "The full-body module's pose track of head-pose-only keypoints for these rows.");
}

}  // namespace f2u
