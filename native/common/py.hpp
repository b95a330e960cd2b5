// Small helpers every extension module shares: raising Python errors with exact
// texts and reaching Python-level facilities from C++.
#pragma once
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>
#include <string>

namespace nb = nanobind;

namespace orvane {

// Raise a Python exception of the given type with an exact message.
[[noreturn]] inline void raise(PyObject* type, const std::string& msg) {
    PyErr_SetString(type, msg.c_str());
    throw nb::python_error();
}
[[noreturn]] inline void raise_value_error(const std::string& msg) { raise(PyExc_ValueError, msg); }
[[noreturn]] inline void raise_type_error(const std::string& msg) { raise(PyExc_TypeError, msg); }
[[noreturn]] inline void raise_runtime_error(const std::string& msg) { raise(PyExc_RuntimeError, msg); }
[[noreturn]] inline void raise_index_error(const std::string& msg) { raise(PyExc_IndexError, msg); }
[[noreturn]] inline void raise_key_error(const std::string& msg) { raise(PyExc_KeyError, msg); }

// import a module by name (cached by the interpreter's module table).
inline nb::module_ py_import(const char* name) { return nb::module_::import_(name); }

// str(obj) and repr(obj) as std::string.
inline std::string py_str(nb::handle h) { return nb::cast<std::string>(nb::str(h)); }
inline std::string py_repr(nb::handle h) { return nb::cast<std::string>(nb::repr(h)); }

}  // namespace orvane
