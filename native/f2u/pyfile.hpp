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
// unpickling refused; the archive is closed before returning. The file is
// opened here rather than by np.load, which leaves its own handle open when
// the archive turns out to be damaged.
// A file object the caller passes stays open (it is the caller's).
inline nb::dict load_npz(nb::handle src) {
    const bool own = !nb::hasattr(src, "read");
    nb::object f = own ? orvane::py_import("builtins").attr("open")(orvane::py_import("os").attr("fspath")(src), "rb")
                       : nb::borrow(src);
    nb::dict out;
    try {
        nb::object z = np::numpy().attr("load")(f, nb::arg("allow_pickle") = false);
        for (nb::handle name : z.attr("files")) out[name] = np::item(z, name);
        z.attr("close")();
    } catch (...) {
        if (own) f.attr("close")();
        throw;
    }
    if (own) f.attr("close")();
    return out;
}

}  // namespace f2u
