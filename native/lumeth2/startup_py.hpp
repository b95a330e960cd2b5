// Small helpers of the host's start-up code: reaching the interpreter's own
// facilities (os.path, json, builtins) where the host must behave exactly like
// them, and calling sibling functions of the module at call time.
#pragma once
#include <nanobind/stl/string.h>

#include <initializer_list>
#include <string>

#include "lumeth2/host_module.hpp"

namespace l2::sp {

inline nb::object builtins() { return orvane::py_import("builtins"); }
inline nb::object os_mod() { return orvane::py_import("os"); }
inline nb::object os_path() { return orvane::py_import("os.path"); }

// os.path predicates follow symbolic links and never raise for a missing path.
inline bool isdir(nb::handle p) { return nb::cast<bool>(os_path().attr("isdir")(p)); }
inline bool isfile(nb::handle p) { return nb::cast<bool>(os_path().attr("isfile")(p)); }
inline nb::object join(nb::handle a, const char* b) { return os_path().attr("join")(a, b); }

inline bool truthy(nb::handle h) {
    int r = PyObject_IsTrue(h.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// seq[i] with the sequence's own errors
inline nb::object item(nb::handle seq, Py_ssize_t i) {
    PyObject* r = PySequence_GetItem(seq.ptr(), i);
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// Python equality (==), raising what the objects raise.
inline bool py_eq(nb::handle a, nb::handle b) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// str(x) as UTF-8 bytes. Lone surrogates pass through: undecodable bytes of a
// file name reach us that way (sys.argv, os.listdir, os.environ), and a path must
// never turn a report line into an encoding error. `py_text` turns such a string
// back into the very same Python text.
inline std::string encoded(nb::handle s) {
    PyObject* b = PyUnicode_AsEncodedString(s.ptr(), "utf-8", "surrogatepass");
    if (!b) throw nb::python_error();
    std::string out(PyBytes_AS_STRING(b), (size_t)PyBytes_GET_SIZE(b));
    Py_DECREF(b);
    return out;
}
inline std::string text(nb::handle x) { return encoded(nb::str(x)); }
inline std::string repr_text(nb::handle x) { return encoded(nb::repr(x)); }
inline nb::str py_text(const std::string& s) {
    PyObject* u = PyUnicode_DecodeUTF8(s.data(), (Py_ssize_t)s.size(), "surrogatepass");
    if (!u) throw nb::python_error();
    return nb::steal<nb::str>(u);
}

// str(x)[:n]: text form cut by code points, not bytes.
inline std::string str_head(nb::handle x, Py_ssize_t n) {
    nb::str s = nb::str(x);
    return encoded(s[nb::slice(nb::int_(0), nb::int_(n), nb::none())]);
}

// os.environ.get(name): the text, or None when unset
inline nb::object getenv_obj(const char* name) {
    return os_mod().attr("environ").attr("get")(name);
}

// A list of member names, as the bundle services take them.
inline nb::list names_of(std::initializer_list<const char*> names) {
    nb::list l;
    for (const char* n : names) l.append(n);
    return l;
}

// (value, text) with the text kept as it came (lone surrogates of paths included)
inline nb::tuple with_text(nb::handle value, const std::string& text) { return nb::make_tuple(value, py_text(text)); }

// The host's log line: always one text argument.
inline void elog(const std::string& line) { mod_get("_elog")(py_text(line)); }

// A bundle fault ends the program with status 3 through the ordinary exit request,
// so exit hooks (staged-file sweep) still run.
[[noreturn]] inline void exit_request(int status) {
    nb::object code = nb::int_(status);
    PyErr_SetObject(PyExc_SystemExit, code.ptr());
    throw nb::python_error();
}

}  // namespace l2::sp
