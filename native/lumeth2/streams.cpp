// The host speaks a binary protocol on its standard streams. Where the platform
// opens them in text mode (msvcrt present), switch both descriptors to binary
// before anything is read or written; then bind the byte layers as `_IN`/`_OUT`,
// the only objects the protocol code ever touches.
#include "lumeth2/host_module.hpp"

namespace l2 {

namespace {

nb::object import_optional(const char* name) {
    try {
        return orvane::py_import(name);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        return nb::none();
    }
}

// The byte layer of a standard stream; None when the interpreter has no such
// stream (a process started with the descriptor closed), so that the module
// still imports there and only protocol use fails.
nb::object byte_layer(nb::handle stream) {
    if (stream.is_none()) return nb::none();
    return stream.attr("buffer");
}

}  // namespace

void register_streams(nb::module_& m) {
    nb::module_ sys = orvane::py_import("sys");
    nb::object msvcrt = import_optional("msvcrt");
    if (!msvcrt.is_none()) {
        nb::object o_binary = orvane::py_import("os").attr("O_BINARY");
        msvcrt.attr("setmode")(sys.attr("stdin").attr("fileno")(), o_binary);
        msvcrt.attr("setmode")(sys.attr("stdout").attr("fileno")(), o_binary);
        m.attr("msvcrt") = msvcrt;
    }
    m.attr("_IN") = byte_layer(sys.attr("stdin"));
    m.attr("_OUT") = byte_layer(sys.attr("stdout"));
}

}  // namespace l2
