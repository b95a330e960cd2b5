// Model staging: `_STAGED`, `_stage_dir`, `_stage_tflite`, `_release_staged`,
// `_drop_staged` (registered with atexit). The registry is looked up through
// the module at every call.
#include "lumeth2/staging.hpp"
#include "lumeth2/elog.hpp"
#include "common/fileio.hpp"

namespace l2 {

namespace {

nb::list staged() { return nb::borrow<nb::list>(mod_get("_STAGED")); }

bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r != 0;
}

nb::object stage_dir() {
    nb::module_ os = orvane::py_import("os");
    nb::object d = os.attr("environ").attr("get")("LUMETH2_STAGE_DIR", "").attr("strip")();
    if (!truthy(d)) return nb::none();
    try {
        os.attr("makedirs")(d, nb::arg("exist_ok") = true);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
        nb::str why(e.value());
        nb::object msg =
            nb::str("LUMETH2_STAGE_DIR={} unusable ({}) \u2014 staging in the default temp dir "
                    "instead")
                .attr("format")(nb::repr(d), why);
        elog(msg);
        return nb::none();
    }
    return d;
}

// Writes the member's bytes through the temporary file's descriptor, with the
// GIL released: model members run to hundreds of megabytes.
void write_member(nb::handle file, nb::handle data) {
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    int fd = nb::cast<int>(file.attr("fileno")());
    int rc, err = 0;
    {
        nb::gil_scoped_release unlocked;
        rc = orvane::fileio::write_all(fd, view.buf, static_cast<size_t>(view.len));
        if (rc != 0) err = errno;
    }
    PyBuffer_Release(&view);
    if (rc != 0) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file.attr("name").ptr());
        throw nb::python_error();
    }
}

}  // namespace

nb::object stage_tflite(nb::handle bundle, nb::handle nm, nb::handle data) {
    nb::module_ os = orvane::py_import("os");
    nb::object path = os.attr("path");
    if (truthy(path.attr("isdir")(bundle))) {
        nb::object own = path.attr("join")(bundle, nm);
        if (truthy(path.attr("isfile")(own))) return own;
    }
    nb::object suffix = nb::str("_") + path.attr("basename")(nm);
    nb::object dir = mod_get("_stage_dir")();
    nb::object named_tmp = orvane::py_import("tempfile").attr("NamedTemporaryFile");
    nb::object tmp =
        named_tmp(nb::arg("suffix") = suffix, nb::arg("dir") = dir, nb::arg("delete") = false);
    nb::object name = tmp.attr("name");
    try {
        write_member(tmp, data);
        tmp.attr("close")();
        staged().attr("append")(name);
    } catch (...) {
        // A failed write (disk full, file too large) must not leave a partial
        // copy behind, nor may a copy that could not be recorded (the exit sweep
        // would never see it): close and remove it, then report the original error.
        try {
            tmp.attr("close")();
        } catch (nb::python_error&) {
        }
        try {
            os.attr("unlink")(name);
        } catch (nb::python_error&) {
        }
        throw;
    }
    return name;
}

void release_staged(nb::handle paths) {
    nb::list snapshot = nb::steal<nb::list>(PySequence_List(paths.ptr()));
    if (!snapshot.is_valid()) throw nb::python_error();
    nb::object unlink = orvane::py_import("os").attr("unlink");
    for (nb::handle item : snapshot) {
        nb::str text(item);
        nb::list reg = staged();
        int known = PySequence_Contains(reg.ptr(), text.ptr());
        if (known < 0) throw nb::python_error();
        if (!known) continue;  // a bundle's own file: never removed
        try {
            unlink(text);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_OSError)) throw;
            continue;  // stays recorded; the exit sweep tries again
        }
        reg.attr("remove")(text);
    }
}

namespace {

void drop_staged() {
    nb::object unlink = orvane::py_import("os").attr("unlink");
    while (true) {
        nb::list reg = staged();
        if (nb::len(reg) == 0) break;
        nb::object p = reg.attr("pop")();  // newest first
        try {
            unlink(p);
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_OSError)) throw;
        }
    }
}

}  // namespace

void register_staging(nb::module_& m) {
    m.attr("_STAGED") = nb::list();
    m.def("_stage_dir", &stage_dir, nb::sig("def _stage_dir() -> str | None"),
          "LUMETH2_STAGE_DIR (stripped, created if needed), or None for the default temp dir.");
    m.def("_drop_staged", &drop_staged, "Remove every staged file still recorded, newest first.");
    orvane::py_import("atexit").attr("register")(m.attr("_drop_staged"));
    m.def("_release_staged", &release_staged,
          nb::sig("def _release_staged(paths: list[str]) -> None"), nb::arg("paths").none(),
          "Remove the given paths that are staged temporary files; others are left alone.");
    m.def("_stage_tflite", &stage_tflite,
          nb::sig("def _stage_tflite(bundle: str, nm: str, data: bytes | bytearray | memoryview) "
                  "-> str"),
          nb::arg("bundle").none(), nb::arg("nm").none(), nb::arg("data").none(),
          "A loadable path for member nm: the directory bundle's own file, else a new temporary "
          "file holding data (recorded in _STAGED).");
}

}  // namespace l2
