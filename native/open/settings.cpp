// What the `_open` module sets up when it loads: its imports, logger, constants,
// engine-kind sets, the process-wide cache state and the `RenderStats` record.
#include "open/open_glue.hpp"

namespace op {

static nb::object frozen(std::initializer_list<const char*> kinds) {
    nb::list items;
    for (const char* k : kinds) items.append(nb::str(k));
    return checked(PyFrozenSet_New(items.ptr()));
}

void register_settings(nb::module_& m) {
    // Standard facilities first, then the package's error module: a missing error
    // module fails the load.
    for (const char* name : {"logging", "os", "re", "subprocess", "time"}) m.attr(name) = py_import(name);
    nb::module_ typing = py_import("typing");
    m.attr("Iterator") = typing.attr("Iterator");
    m.attr("NamedTuple") = typing.attr("NamedTuple");
    nb::module_ errors = py_import("orvane._errors");
    for (const char* name : {"AvatarError", "Failed", "InvalidAvatar", "NotSupported", "refuse"})
        m.attr(name) = from_import(errors, name);

    nb::module_ re = py_import("re");
    m.attr("_log") = py_import("logging").attr("getLogger")("orvane");
    m.attr("_SAMPLE_RATE") = 16000;
    m.attr("_CODE") = re.attr("compile")("^[A-Z][A-Z0-9]{9}$");
    m.attr("_SESSION") = frozen({"ferrin2-light", "ferrin2-golden"});
    m.attr("_FIXTURE") = frozen({"ferrin1"});
    m.attr("_LITERT") = frozen({"lumeth2"});
    m.attr("_UNIFIED") = frozen({"ferrin2-unified"});

    // Read once: later changes of the variable have no effect. float() parses it
    // (blanks around it and exponents allowed); a word that is no number fails the load.
    nb::object env = py_import("os").attr("environ");
    nb::object quiet = env.attr("get")("ORVANE_RENDER_QUIET", "10");
    m.attr("_QUIET") = checked(PyNumber_Float(quiet.ptr()));

    m.attr("_SHORT_FRAC") = 0.02;
    m.attr("_DEFAULT_CACHE_GB") = 10.0;
    m.attr("_EVICT_MIN_IDLE_S") = 3600;
    // A scratch folder: the entry's name, ".tmp.", the id of the process that
    // made it (group 1) and, as made now, "." and 16 hex digits drawn at random.
    m.attr("_TMP_RE") = re.attr("compile")("^.+\\.tmp\\.(\\d+)(?:\\.[0-9a-f]{16})?$");
    m.attr("_HELD") = nb::dict();
    m.attr("_SWEPT") = false;
    try {
        m.attr("_fcntl") = py_import("fcntl");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_ImportError)) throw;
        m.attr("_fcntl") = nb::none();  // no POSIX locks here: the cache runs without them
    }

    // An immutable named record, compared by value; built through the interpreter's
    // own named-tuple factory so it behaves exactly like one.
    nb::list fields;
    for (const char* f : {"frames", "render_seconds", "render_fps"}) fields.append(nb::str(f));
    nb::object stats = py_import("collections").attr("namedtuple")("RenderStats", fields,
                                                                    nb::arg("module") = "orvane._open");
    nb::dict ann;
    ann["frames"] = py_import("builtins").attr("int");
    ann["render_seconds"] = py_import("builtins").attr("float");
    ann["render_fps"] = py_import("builtins").attr("float");
    stats.attr("__annotations__") = ann;
    stats.attr("__doc__") = "Frames, seconds and frame rate of one render (first audio chunk to last frame).";
    m.attr("RenderStats") = stats;
}

}  // namespace op
