// Eye-event parameters from a pack's "f3fit.json".
#include <cmath>

#include "f2u/nparray.hpp"
#include "f2u/sources.hpp"

namespace f2u {

struct F3Params {};

// Clips whose last value returns to within 0.05 of zero (inclusive).
static void keep_kernel(const double* last, size_t n, bool* keep) {
    for (size_t i = 0; i < n; ++i) keep[i] = std::fabs(last[i]) <= 0.05;
}

static void f3_init(nb::handle self, nb::handle r, nb::handle cal) {
    nb::object np_ = np::numpy();
    nb::object hz = np::item(r, "hazard");
    self.attr("w") = np_.attr("asarray")(np::item(hz, "w"));
    const double b0 = np::float_of(np::py_float(np::item(hz, "b")));
    const double delta = np::float_of(np::py_float(np::item(np::item(np::item(hz, "cal"), cal), "delta")));
    self.attr("b") = nb::float_(b0 + delta);
    self.attr("mu_x") = np_.attr("asarray")(np::item(hz, "mu_x"));
    self.attr("sd_x") = np_.attr("asarray")(np::item(hz, "sd_x"));
    nb::object lr = np::asarray(np::item(r, "lib_rel"), "float64");
    nb::object lp = np::asarray(np::item(r, "lib_pre"), "float64");
    nb::object lf = np::asarray(np::item(r, "lib_flut"), "bool");
    // lr[:, -1] with numpy's own indexing errors for a table that is not 2-D
    nb::object last_col = np::item(lr, nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), -1));
    auto last = np::view<double>(last_col);
    auto keep = np::empty<bool>({last.size});
    keep_kernel(last.data, last.size, keep.data);
    nb::object lib = np::item(lr, keep.obj), pre = np::item(lp, keep.obj), flut = np::item(lf, keep.obj);
    self.attr("lib") = lib;
    self.attr("pre") = pre;
    self.attr("flut") = flut;
    self.attr("q") = np::py_float(np::item(r, "q_flut_val"));
    self.attr("k") = 150;
    self.attr("u") = np_.attr("asarray")(np::item(r, "u"));
    self.attr("res") = np::item(r, "resid");
    self.attr("REF") = np::py_int(np::item(r, "REFRACT"));
    nb::list aw;
    nb::object tuple_t = orvane::py_import("builtins").attr("tuple");
    for (nb::handle x : np::item(np::item(r, "causal"), "AWIN")) aw.append(tuple_t(x));
    self.attr("aw") = aw;
}

void register_f3params(nb::module_& m) {
    nb::class_<F3Params>(m, "F3Params", nb::dynamic_attr(),
                         "Eye-event hazard, clip library and residual parameters.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<F3Params> self, nb::handle r, nb::handle cal) {
                f3_init(self.h, r, cal);
                new (self.p) F3Params();
            },
            nb::arg("r").none(), nb::arg("cal").none() = "eo");
}

}  // namespace f2u
