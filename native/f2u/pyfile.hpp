// Loading JSON documents and .npz archives through the interpreter's own
// readers, so their errors (missing file, bad JSON, pickled member) are the
// library's own.
#pragma once
#include "f2u/nparray.hpp"

namespace f2u {

inline nb::object path_join(nb::handle a, nb::handle b) {
    return orvane::py_import("os").attr("path").attr("join")(a, b);
}
inline nb::object path_join(nb::handle a, const char* b) { return path_join(a, nb::str(b)); }

inline nb::object load_json(nb::handle path) {
    nb::object f = orvane::py_import("builtins").attr("open")(path, "r", nb::arg("encoding") = "utf-8");
    nb::object doc;
    try {
        doc = orvane::py_import("json").attr("load")(f);
    } catch (...) {
        f.attr("close")();
        throw;
    }
    f.attr("close")();
    return doc;
}

// Every member of an .npz archive, in archive order, read eagerly with
// unpickling refused; the archive is closed before returning.
inline nb::dict load_npz(nb::handle src) {
    nb::object z = np::numpy().attr("load")(src, nb::arg("allow_pickle") = false);
    nb::dict out;
    try {
        for (nb::handle name : z.attr("files")) out[name] = np::item(z, name);
    } catch (...) {
        if (nb::hasattr(z, "close")) z.attr("close")();
        throw;
    }
    if (nb::hasattr(z, "close")) z.attr("close")();
    return out;
}

}  // namespace f2u
