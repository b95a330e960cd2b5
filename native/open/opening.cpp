// The public entry `open`: argument checks, the engine kind, the refusal of
// avatars that cannot run here, and the construction of the engine for the kind
// with its failures mapped onto the package's error classes.
#include "open/cache.hpp"

namespace op {

namespace {

constexpr const char* kCannotRun =
    "that avatar cannot run on this machine. Render it in the cloud with the Video API "
    "(POST /v1/video/generate), or open it on Apple Silicon macOS or Linux.";

bool contains(nb::handle container, nb::handle item) {
    int r = PySequence_Contains(container.ptr(), item.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// The class called with its message alone, raised with chaining suppressed.
[[noreturn]] void refuse_plain(const char* cls, nb::handle message) {
    nb::object exc = mod_get(cls)(message);
    throw_unchained(exc);
}

[[noreturn]] void refuse_plain(const char* cls, const char* message) { refuse_plain(cls, nb::str(message)); }

// Messages that quote the caller's path are put together as Python strings:
// a path that does not exist may hold lone surrogates, which no UTF-8 round
// trip survives.
nb::object concat(std::initializer_list<nb::handle> parts) {
    nb::object text = nb::str("");
    for (nb::handle part : parts) text = checked(PyUnicode_Concat(text.ptr(), part.ptr()));
    return text;
}

nb::object service_code_message(nb::handle source) {
    return concat({source,
                   nb::str(" names an avatar held by the service, and this package renders an avatar that is on "
                           "this machine. Run `python -m orvane render "),
                   source,
                   nb::str(" <audio>` to fetch it and render it here, or render it in the cloud with the Video "
                           "API (POST /v1/video/generate).")});
}

// Any failure to read the avatar or to build its engine that is not already
// one of ours: a damaged container, manifest or bundle, or a host that would not
// start on it. An ImportError is the installation's fault, not the avatar's, and
// passes; so does anything that is no ordinary error (an interruption).
bool unusable_avatar_error(nb::python_error& e) {
    return e.matches(PyExc_Exception) && !e.matches(PyExc_ImportError);
}

// InvalidAvatar "that is not a usable avatar", the detail naming the file and what
// is wrong, the caught error kept as its cause.
[[noreturn]] void refuse_unusable(nb::handle source, nb::handle caught) {
    nb::object exc = import_from("orvane._errors", "_unusable")(source, caught);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    PyException_SetContext(exc.ptr(), caught.inc_ref().ptr());
    throw nb::python_error();
}

nb::object open_avatar(nb::object source) {
    nb::object os = py_import("os");
    if (is_instance(source, os.attr("PathLike"))) source = os.attr("fspath")(source);
    if (!PyUnicode_Check(source.ptr())) {
        nb::object name = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(source.ptr()))).attr("__name__");
        nb::object message = concat({nb::str("open() takes the path of an avatar; got "), name});
        PyErr_SetObject(PyExc_TypeError, message.ptr());
        throw nb::python_error();
    }
    if (PyUnicode_GET_LENGTH(source.ptr()) == 0) refuse_plain("InvalidAvatar", "open() needs an avatar to open");
    if (!nb::cast<bool>(os.attr("path").attr("exists")(source))) {
        if (!mod_get("_CODE").attr("fullmatch")(source).is_none())  // "$" alone would let a final line end through
            refuse_plain("NotSupported", service_code_message(source));
        refuse_plain("InvalidAvatar", concat({nb::str("no avatar at "), source}));
    }
    nb::object kind;
    try {
        kind = mod_get("_engine_of")(source);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_OSError))
            raise_refusal("InvalidAvatar", nb::str("that is not a usable avatar"), e.value(), e.value());
        if (!unusable_avatar_error(e)) throw;
        refuse_unusable(source, e.value());
    }
    if (contains(mod_get("_FIXTURE"), kind) && !nb::cast<bool>(nb::bool_(mod_get("_ferrin1_runtime_present")())))
        refuse_plain("NotSupported", kCannotRun);
    return mod_get("_open_engine")(source, kind);
}

nb::object open_engine(nb::object source, nb::object engine_id) {
    // Imported for its error classes on every call, before any engine is built.
    nb::object avatar_outdated = import_from("orvane._session", "AvatarOutdated");
    nb::object engine_failed = import_from("orvane._session", "EngineFailed");
    nb::object engine_unavailable = import_from("orvane._session", "EngineUnavailable");
    nb::object engine;
    try {
        if (contains(mod_get("_SESSION"), engine_id)) {
            engine = mod_get("_SessionEngine")(source);
        } else if (contains(mod_get("_FIXTURE"), engine_id)) {
            engine = mod_get("_FixtureEngine")(source);
        } else if (contains(mod_get("_LITERT"), engine_id)) {
            engine = import_from("orvane._lumeth2", "Lumeth2Engine")(source);
        } else if (contains(mod_get("_UNIFIED"), engine_id)) {
            engine = mod_get("_unified_engine")(source);
        } else {
            refuse_plain("NotSupported", kCannotRun);
        }
    } catch (nb::python_error& e) {
        nb::handle v = e.value();
        if (is_instance(v, mod_get("AvatarError"))) throw;
        if (is_instance(v, engine_unavailable))
            raise_refusal("NotSupported", v.attr("args")[0], v.attr("detail"), v);
        if (is_instance(v, avatar_outdated)) {
            nb::object outdated = import_from("orvane._errors", "_Outdated");
            mod_get("refuse")(mod_get("InvalidAvatar"), v.attr("args")[0], v.attr("detail"));  // made, not raised
            throw_unchained(outdated(v.attr("args")[0], v.attr("code")), v);
        }
        if (is_instance(v, engine_failed))
            raise_refusal("Failed", v.attr("args")[0], v.attr("detail"), v);
        if (e.matches(PyExc_OSError))
            raise_refusal("Failed", nb::str("could not prepare that avatar"), v, v);
        if (!unusable_avatar_error(e)) throw;
        refuse_unusable(source, v);
    }
    return mod_get("Avatar")(engine, engine_id);
}

nb::object unified_engine(nb::object source) {
    nb::object f2u_engine = import_from("orvane._f2u.engine", "F2UEngine");
    nb::object f2u_invalid = import_from("orvane._f2u.engine", "F2UInvalid");
    nb::object f2u_unavailable = import_from("orvane._f2u.engine", "F2UUnavailable");
    nb::object root = mod_get("_materialise")(source);
    try {
        return f2u_engine(root);
    } catch (nb::python_error& e) {
        nb::handle v = e.value();
        const char* cls = is_instance(v, f2u_unavailable) ? "NotSupported"
                          : is_instance(v, f2u_invalid)   ? "InvalidAvatar"
                                                          : nullptr;
        if (!cls) throw;
        nb::object message = nb::steal(PyObject_Str(nb::object(v.attr("args")[0]).ptr()));
        if (!message.is_valid()) throw nb::python_error();
        nb::object cause = v.attr("__cause__");
        nb::object detail = nb::repr(nb::cast<bool>(nb::bool_(cause)) ? nb::handle(cause) : v);
        raise_refusal(cls, message, detail, v);
    }
}

bool ferrin1_runtime_present() {
    nb::object core;
    try {
        core = py_import("orvane._core");
    } catch (nb::python_error& e) {
        // Without a native core the check passes: the fixture adapter's own
        // import then reports the missing core to the caller.
        if (e.matches(PyExc_ImportError)) return true;
        throw;
    }
    PyObject* flag = PyObject_GetAttrString(core.ptr(), "ENGINE_ONLY");
    if (!flag) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();  // absent: false
        return true;
    }
    int truth = PyObject_IsTrue(flag);
    Py_DECREF(flag);
    if (truth < 0) throw nb::python_error();
    return truth == 0;
}

}  // namespace

void register_opening(nb::module_& m) {
    m.def("open", &open_avatar, nb::arg("source").none(), "Open the avatar at `source` (a path) and return an Avatar.");
    m.def("_open_engine", &open_engine, nb::arg("source"), nb::arg("engine_id"),
          "Build the engine adapter for an engine kind and wrap it in an Avatar.");
    m.def("_unified_engine", &unified_engine, nb::arg("source"), "The f2u engine on the avatar's unpacked directory.");
    m.def("_ferrin1_runtime_present", &ferrin1_runtime_present,
          "False only when the native core imports and declares ENGINE_ONLY.");
}

}  // namespace op
