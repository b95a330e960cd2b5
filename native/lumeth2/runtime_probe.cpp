// `litert_runtime_version()`: the installed LiteRT distribution's version text
// from the interpreter's package metadata, asked afresh at every call. The int8
// decoder gate compares it, as text, with the version a bundle recorded.
#include "lumeth2/host_module.hpp"

namespace l2 {

namespace {

nb::object litert_runtime_version() {
    try {
        nb::module_ metadata = orvane::py_import("importlib.metadata");
        return metadata.attr("version")("ai-edge-litert");
    } catch (nb::python_error& e) {
        // Any ordinary failure (no metadata facility, not installed, unreadable
        // metadata) means "unknown"; interrupts and exit requests pass through.
        if (!e.matches(PyExc_Exception)) throw;
        return nb::none();
    }
}

}  // namespace

void register_runtime_probe(nb::module_& m) {
    m.def("litert_runtime_version", &litert_runtime_version,
          nb::sig("def litert_runtime_version() -> str | None"),
          "Version text of the installed 'ai-edge-litert' distribution, or None when unknown.");
}

}  // namespace l2
