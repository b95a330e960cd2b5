// Imports and named constants of the f2u `host` module.
#include "f2u/constants.hpp"

#include "f2u/sources.hpp"

namespace f2u {

template <size_t N>
static nb::tuple int_tuple(const int64_t (&v)[N]) {
    nb::list l;
    for (size_t i = 0; i < N; ++i) l.append(nb::int_(v[i]));
    return nb::tuple(l);
}

void register_imports(nb::module_& m) {
    // The standard-library and numpy modules the namespace carries; onnxruntime
    // and OpenCV are imported only by the functions that need them.
    m.attr("hashlib") = orvane::py_import("hashlib");
    m.attr("json") = orvane::py_import("json");
    m.attr("math") = orvane::py_import("math");
    m.attr("os") = orvane::py_import("os");
    m.attr("np") = orvane::py_import("numpy");
}

void register_constants(nb::module_& m) {
    m.attr("HOP") = HOP;
    m.attr("C") = C_TOKEN;
    m.attr("SWIN") = SWIN;
    m.attr("TW") = TW;
    m.attr("SP8") = SP8;
    nb::list groups;
    for (auto& g : GROUPS) groups.append(int_tuple(g));
    m.attr("GROUPS") = nb::tuple(groups);
    nb::list tb;
    for (int64_t e : TBINS) tb.append(nb::int_(e));
    m.attr("TBINS") = tb;
    m.attr("BURN") = BURN;
    m.attr("ROT") = int_tuple(ROT);
}

void register_rows_constants(nb::module_& m) {
    m.attr("ROWS_L") = int_tuple(ROWS_L);
    m.attr("ROWS_R") = int_tuple(ROWS_R);
}

}  // namespace f2u
