// ONNX session factory, the trunk compatibility rule and the model pack.
#include <string>
#include <vector>

#include "f2u/constants.hpp"
#include "f2u/nparray.hpp"
#include "f2u/pyfile.hpp"
#include "f2u/sources.hpp"

namespace f2u {

constexpr int64_t MAX_SESSION_THREADS = 1024;

nb::object ort_session(nb::handle path, nb::handle threads) {
    nb::module_ ort = orvane::py_import("onnxruntime");  // first use only: the module loads without it
    nb::object so = ort.attr("SessionOptions")();
    // A larger request is given this many (far more cores than any machine this
    // serves): the runtime starts every thread it is asked for when the session
    // opens (10**5 took minutes), and refuses 2**31 and above outright.
    nb::object intra = np::py_int(threads), most = nb::int_(MAX_SESSION_THREADS);
    if (intra > most) intra = most;
    so.attr("intra_op_num_threads") = intra;
    so.attr("inter_op_num_threads") = 1;
    so.attr("graph_optimization_level") = ort.attr("GraphOptimizationLevel").attr("ORT_ENABLE_ALL");
    // idle intra-op threads block instead of spinning
    so.attr("add_session_config_entry")("session.intra_op.allow_spinning", "0");
    so.attr("log_severity_level") = 3;
    nb::list providers;
    providers.append("CPUExecutionProvider");
    return ort.attr("InferenceSession")(path, nb::arg("sess_options") = so, nb::arg("providers") = providers);
}

static bool trunk_exact(nb::handle trunk_crop_r, nb::handle R, nb::handle R0) {
    nb::object c = trunk_crop_r.is_none() ? nb::object(nb::int_(LEGACY_TRUNK_CROP_R)) : np::py_int(trunk_crop_r);
    const bool negative = PyObject_RichCompareBool(c.ptr(), nb::int_(0).ptr(), Py_LT) == 1;
    nb::handle vals[2] = {R, R0.is_none() ? R : R0};
    for (nb::handle r : vals) {
        if (negative) continue;
        int eq = PyObject_RichCompareBool(c.ptr(), r.ptr(), Py_EQ);
        if (eq < 0) throw nb::python_error();
        if (!eq) return false;
    }
    return true;
}

// ---- stitching MLP (float32) -------------------------------------------------

struct Layer {
    const float* W;
    const float* b;
    size_t out, in, nb;
};

// z0: (T, width0) input rows; xd: (T, 63) driving keypoints; out: (T, 63).
static void stitch_kernel(const float* z0, size_t T, size_t width0, const std::vector<Layer>& layers,
                          const float* xd, float* out) {
    std::vector<float> cur(z0, z0 + T * width0), nxt;
    size_t width = width0;
    for (size_t li = 0; li < layers.size(); ++li) {
        const Layer& L = layers[li];
        nxt.assign(T * L.out, 0.0f);
        for (size_t t = 0; t < T; ++t) {
            const float* zr = cur.data() + t * width;
            for (size_t o = 0; o < L.out; ++o) {
                const float* wr = L.W + o * L.in;
                float acc = 0.0f;
                for (size_t i = 0; i < L.in; ++i) acc += zr[i] * wr[i];
                float v = acc + L.b[L.nb == 1 ? 0 : o];
                if (li + 1 < layers.size() && v < 0.0f) v = 0.0f;  // ReLU (NaN kept)
                nxt[t * L.out + o] = v;
            }
        }
        cur.swap(nxt);
        width = L.out;
    }
    for (size_t t = 0; t < T; ++t) {
        const float* zr = cur.data() + t * width;
        for (size_t k = 0; k < 21; ++k)
            for (size_t q = 0; q < 3; ++q) {
                // per-keypoint correction first, then the frame's shift of x and y
                float v = xd[t * 63 + 3 * k + q] + zr[3 * k + q];
                if (q == 0) v += zr[63];
                if (q == 1) v += zr[64];
                out[t * 63 + 3 * k + q] = v;
            }
    }
}

// A shape as numpy's broadcast errors print it: "(2,65)", "(3,)", "()".
static std::string shape_text(const std::vector<size_t>& sh) {
    std::string t = "(";
    for (size_t i = 0; i < sh.size(); ++i) t += (i ? "," : "") + std::to_string(sh[i]);
    return t + (sh.size() == 1 ? ",)" : ")");
}
static std::string shape2(size_t a, size_t b) { return shape_text({a, b}); }

static nb::object stitch(nb::handle self, nb::handle xs, nb::handle xd) {
    nb::object np_ = np::numpy();
    nb::object xs_a = np_.attr("asarray")(xs), xd_a = np_.attr("asarray")(xd);
    const size_t T = nb::len(xs_a);
    // numpy joins the rows (its own errors, its own result dtype), then one cast
    nb::list parts;
    parts.append(xs_a.attr("reshape")(T, -1));
    parts.append(xd_a.attr("reshape")(nb::len(xd_a), -1));
    auto z = np::view<float>(np_.attr("concatenate")(parts, 1).attr("astype")(np::dtype("float32")));
    auto xd63 = np::view<float>(xd_a.attr("reshape")(T, 21, 3));  // numpy's error for a wrong keypoint count
    const size_t width0 = z.shape[1];
    std::vector<np::View<float>> keep;
    std::vector<Layer> layers;
    size_t width = width0;
    for (nb::handle pair : self.attr("stw")) {
        auto W = np::view<float>(np::item(pair, nb::int_(0)));
        auto b = np::view<float>(np::item(pair, nb::int_(1)));
        if (W.ndim() != 2 || W.shape[1] != width)
            orvane::raise_value_error(
                "matmul: Input operand 1 has a mismatch in its core dimension 0, with gufunc signature "
                "(n?,k),(k,m?)->(n?,m?) (size " + std::to_string(W.ndim() == 2 ? W.shape[1] : W.size) +
                " is different from " + std::to_string(width) + ")");
        // b broadcasts against the (T, out) rows: (out,), (1,), (1, out), (1, 1) or a scalar
        const size_t blen = b.ndim() == 0 ? 1 : b.shape.back();
        if (b.ndim() > 2 || (b.ndim() == 2 && b.shape[0] != 1) || (blen != W.shape[0] && blen != 1))
            orvane::raise_value_error("operands could not be broadcast together with shapes " +
                                      shape2(T, W.shape[0]) + " " + shape_text(b.shape) + " ");
        layers.push_back({W.data, b.data, W.shape[0], W.shape[1], b.size});
        width = W.shape[0];
        keep.push_back(std::move(W));
        keep.push_back(std::move(b));
    }
    if (width < 63)
        orvane::raise_value_error("cannot reshape array of size " + std::to_string(T * width) + " into shape (" +
                                  std::to_string(T) + ",21,3)");
    if (width < 65)
        orvane::raise_value_error("operands could not be broadcast together with shapes " + shape2(T, 21) + " " +
                                  shape2(T, 0) + " " + shape2(T, 21) + " ");
    auto out = np::empty<float>({T, 21, 3});
    {
        nb::gil_scoped_release nogil;
        stitch_kernel(z.data, T, width0, layers, xd63.data, out.data);
    }
    return out.obj;
}

// ---- Pack ------------------------------------------------------------------

struct Pack {};

static nb::object graph_path(nb::handle root, nb::handle j, const char* role) {
    return path_join(root, np::item(np::item(j, "graphs"), role));
}

static void pack_init(nb::handle self, nb::handle root, nb::handle threads) {
    self.attr("root") = root;
    nb::object j = load_json(path_join(root, "host.json"));
    self.attr("j") = j;
    // The trunk rule is checked before the archive is opened.
    nb::object tcr = j.attr("get")("trunk_crop_r");
    nb::object R_raw = np::item(j, "R");
    if (!trunk_exact(tcr, np::py_int(R_raw), nb::none()))
        orvane::raise_value_error("shared set: trunk crop R " + orvane::py_str(tcr) + " is not exact at host R " +
                                  orvane::py_str(np::item(j, "R")));
    nb::dict a = load_npz(path_join(root, "host.npz"));
    self.attr("a") = a;
    self.attr("R") = np::py_int(np::item(j, "R"));
    self.attr("F") = np::py_int(np::item(j, "det_F"));
    self.attr("W_TOK") = np::py_int(np::item(j, "det_window"));
    auto conv = [&](const char* name, const char* dt) {
        return np::item(a, name).attr("astype")(np::dtype(dt));
    };
    for (const char* n : {"det_dims", "DRV", "EYE4", "DRIVEN", "RKEY", "EYE_DIMS"}) self.attr(n) = conv(n, "int64");
    for (const char* n : {"base69", "W"}) self.attr(n) = conv(n, "float64");
    {
        nb::object P = conv("P", "float64"), d = conv("d", "float64"), c = conv("c", "float64");
        self.attr("P") = P;
        self.attr("d") = d;
        self.attr("c") = c;
    }
    {
        nb::object mu = conv("pca_mu", "float32"), V = conv("pca_V", "float32");
        self.attr("pca_mu") = mu;
        self.attr("pca_V") = V;
    }
    self.attr("h") = np::item(j, "head");
    const int64_t st_n = np::int_of(np::item(j, "st_n"));
    nb::list stw;
    for (int64_t i = 0; i < st_n; ++i) {
        const std::string si = std::to_string(i);
        nb::object w = np::item(a, ("st_w" + si).c_str())
                           .attr("astype")(np::dtype("float32"), nb::arg("order") = "C");
        nb::object b = np::item(a, ("st_b" + si).c_str())
                           .attr("astype")(np::dtype("float32"), nb::arg("order") = "C");
        stw.append(nb::make_tuple(w, b));
    }
    self.attr("stw") = stw;
    nb::object fit = load_json(path_join(root, "f3fit.json"));
    self.attr("f3") = mod_get("F3Params")(fit, np::item(j, "f3_cal"));
    nb::object th = np::py_int(threads);
    nb::object sess = mod_get("ort_session");
    const char* roles[5][2] = {{"s_trunk", "enc_trunk"}, {"s_head", "enc_head"}, {"s_det", "det"},
                               {"s_hctx", "head_ctx"},   {"s_hdraw", "head_draw"}};
    for (auto& r : roles) self.attr(r[0]) = sess(graph_path(root, j, r[1]), th);
    nb::object flow_dims = conv("det_flow_dims", "int64");
    self.attr("flow_dims") = flow_dims;
    if (nb::len(flow_dims) > 0)  // TypeError for a 0-d table
        self.attr("s_dflow") = sess(graph_path(root, j, "det_flow"), th);
    else
        self.attr("s_dflow") = nb::none();
    self.attr("flow_D") = np::py_int(j.attr("get")("det_flow_D", 0));
    self.attr("motion_path") = graph_path(root, j, "motion");
    self.attr("lite_path") = graph_path(root, j, "lite");
    nb::object trunk = self.attr("s_trunk");
    self.attr("trunk_in") = np::item(trunk.attr("get_inputs")(), nb::int_(0)).attr("name");
    self.attr("trunk_out") = np::item(trunk.attr("get_outputs")(), nb::int_(0)).attr("name");
}

void register_pack(nb::module_& m) {
    m.def("ort_session", &ort_session, nb::arg("path").none(), nb::arg("threads").none() = 1,
          "ONNX Runtime session on the CPU provider: given intra-op threads, one inter-op thread, "
          "no spinning, all graph optimisations, errors-only logging.");
    m.attr("LEGACY_TRUNK_CROP_R") = LEGACY_TRUNK_CROP_R;
    m.def("trunk_exact", &trunk_exact, nb::arg("trunk_crop_r").none(), nb::arg("R").none(), nb::arg("R0").none() = nb::none(),
          "Whether a trunk crop radius fits the pack's frame count R (and R0).");
    nb::class_<Pack>(m, "Pack", nb::dynamic_attr(), "The f2u model pack: configuration, tables, sessions.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<Pack> self, nb::handle root, nb::handle threads) {
                pack_init(self.h, root, threads);
                new (self.p) Pack();
            },
            nb::arg("root").none(), nb::arg("threads").none() = 1)
        .def("stitch", &stitch, nb::arg("xs").none(), nb::arg("xd").none(),
             "Keypoint stitching network: corrected driving keypoints (T, 21, 3) float32.");
}

}  // namespace f2u
