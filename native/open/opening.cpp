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

bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

[[noreturn]] void raise_plain(const char* cls, const std::string& message) {
    nb::object exc = mod_get(cls)(nb::str(message.c_str(), message.size()));
    raise_suppressed(exc, nb::none());
}

std::string service_code_message(const std::string& source) {
    return source +
           " names an avatar held by the service, and this package renders an avatar that is on this machine. "
           "Run `python -m orvane render " +
           source +
           " <audio>` to fetch it and render it here, or render it in the cloud with the Video API "
           "(POST /v1/video/generate).";
}

nb::object open_avatar(nb::object source) {
    nb::object os = py_import("os");
    if (is_instance(source, os.attr("PathLike"))) source = os.attr("fspath")(source);
    if (!PyUnicode_Check(source.ptr())) {
        std::string name = nb::cast<std::string>(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(source.ptr()))).attr("__name__"));
        orvane::raise_type_error("open() takes the path of an avatar; got " + name);
    }
    if (PyUnicode_GET_LENGTH(source.ptr()) == 0) raise_plain("InvalidAvatar", "open() needs an avatar to open");
    if (!nb::cast<bool>(os.attr("path").attr("exists")(source))) {
        std::string text = py_str(source);
        if (!mod_get("_CODE").attr("match")(source).is_none())
            raise_plain("NotSupported", service_code_message(text));
        raise_plain("InvalidAvatar", "no avatar at " + text);
    }
    nb::object kind;
    try {
        kind = mod_get("_engine_of")(source);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        raise_suppressed(refusal("InvalidAvatar", nb::str("that is not a usable avatar"), e.value()), e.value());
    }
    if (contains(mod_get("_FIXTURE"), kind) && !nb::cast<bool>(nb::bool_(mod_get("_ferrin1_runtime_present")())))
        raise_plain("NotSupported", kCannotRun);
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
            raise_plain("NotSupported", kCannotRun);
        }
    } catch (nb::python_error& e) {
        nb::handle v = e.value();
        if (is_instance(v, mod_get("AvatarError"))) throw;
        if (is_instance(v, engine_unavailable))
            raise_suppressed(refusal("NotSupported", v.attr("args")[0], v.attr("detail")), v);
        if (is_instance(v, avatar_outdated)) {
            nb::object outdated = import_from("orvane._errors", "_Outdated");
            refusal("InvalidAvatar", v.attr("args")[0], v.attr("detail"));  // made, not raised
            raise_suppressed(outdated(v.attr("args")[0], v.attr("code")), v);
        }
        if (is_instance(v, engine_failed))
            raise_suppressed(refusal("Failed", v.attr("args")[0], v.attr("detail")), v);
        if (e.matches(PyExc_OSError))
            raise_suppressed(refusal("Failed", nb::str("could not prepare that avatar"), v), v);
        throw;
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
        raise_suppressed(refusal(cls, message, detail), v);
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
