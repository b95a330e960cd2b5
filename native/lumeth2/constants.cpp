// The stream constants as module attributes and the host's log line `_elog`.
// Other constant groups are assigned by their own concerns in load order.
#include "lumeth2/constants.hpp"
#include "lumeth2/elog.hpp"

#include <nanobind/stl/string.h>

namespace l2 {

void elog_write(nb::handle args) {
    nb::object sys_stderr = orvane::py_import("sys").attr("stderr");
    // No stderr at all (started with it closed): the line is dropped. It must
    // never fall back to stdout, which carries the frame protocol.
    if (sys_stderr.is_none()) return;
    nb::list parts;
    parts.append(nb::str(ELOG_PREFIX));
    for (nb::handle a : args) parts.append(nb::str(a));
    nb::object line = nb::steal(PyUnicode_Join(nb::str(" ").ptr(), parts.ptr()));
    if (!line.is_valid()) throw nb::python_error();
    line = nb::steal(PyUnicode_Concat(line.ptr(), nb::str("\n").ptr()));
    if (!line.is_valid()) throw nb::python_error();
    sys_stderr.attr("write")(line);
    sys_stderr.attr("flush")();
}

namespace {

void elog_binding(nb::args args, nb::kwargs kwargs) {
    // Positional only: a keyword is refused as a plain Python function of
    // signature (*args) would refuse it.
    for (auto [key, value] : kwargs) {
        (void)value;
        orvane::raise_type_error("_elog() got an unexpected keyword argument " +
                                 orvane::py_repr(key));
    }
    elog_write(args);
}

}  // namespace

void register_constants(nb::module_& m) {
    m.def("_elog", &elog_binding, nb::sig("def _elog(*args: object) -> None"),
          "Write one '[render-stream-chain-host]' log line (arguments joined by blanks) to "
          "sys.stderr and flush it.");

    // Assigned in this order; the derived sizes are computed from the values
    // above them so the two can never disagree.
    const std::pair<const char*, int64_t> stream[] = {
        {"SR", SR},
        {"SPF", SPF},
        {"SPC", SPC},
        {"FPS", FPS},
        {"WIN_SAMPLES", WIN_SAMPLES},
        {"TEMPO_SAMPLES", TEMPO_SAMPLES},
        {"CHUNK0_LAT", CHUNK0_LAT},
        {"STEADY_LAT", STEADY_LAT},
        {"STEADY_PX", STEADY_PX},
        {"PRESENT_DELAY_FRAMES", PRESENT_DELAY_FRAMES},
        {"LC", LC},
        {"LH", LH},
        {"LW", LW},
        {"CTX", CTX},
        {"NA", NA},
        {"CA", CA},
        {"FH", FH},
        {"FW", FW},
    };
    for (const auto& [name, value] : stream) m.attr(name) = nb::int_(value);
    nb::object lh = m.attr("LH"), lw = m.attr("LW"), fh = m.attr("FH"), fw = m.attr("FW");
    m.attr("PLANE") = lh * lw;
    m.attr("HWPX") = fh * fw;
    m.attr("FRAME36") = m.attr("PLANE") * nb::int_(36);
}

}  // namespace l2
