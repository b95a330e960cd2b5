// A module whose load fails hands its importer the failing step's own error.
//
// nanobind turns any Python error raised while a module's definitions load into
// a generic ImportError ("Encountered an error while initializing the
// extension."), chained onto the real error. An importer that tells failures
// apart by type (a broken policy module against a missing one, say) needs the
// real one, so the module's init function is wrapped:
//
//     #define PyInit_NAME NAME_nb_init   // rename the init nanobind generates
//     NB_MODULE(NAME, m) { ... }
//     #undef PyInit_NAME
//     extern "C" NB_EXPORT PyObject* PyInit_NAME(void) {
//         return orvane::pass_load_errors(NAME_nb_init());
//     }
#pragma once
#include "common/py.hpp"

namespace orvane {

namespace load_detail {

// The exec function of the module definition, before wrapping (one module per
// shared object, so one definition).
inline int (*nb_exec)(PyObject*) = nullptr;

// Replace a raised ImportError that carries a cause by that cause, traceback
// and all. A load step's own ImportError also reaches the importer as itself.
inline void surface_cause() {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exc = PyErr_GetRaisedException();
    if (exc && Py_IS_TYPE(exc, (PyTypeObject*)PyExc_ImportError)) {
        if (PyObject* cause = PyException_GetCause(exc)) {
            Py_DECREF(exc);
            PyErr_SetRaisedException(cause);
            return;
        }
    }
    PyErr_SetRaisedException(exc);
#else
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (value && Py_IS_TYPE(value, (PyTypeObject*)PyExc_ImportError)) {
        if (PyObject* cause = PyException_GetCause(value)) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(tb);
            PyObject* ctype = (PyObject*)Py_TYPE(cause);
            Py_INCREF(ctype);
            PyErr_Restore(ctype, cause, PyException_GetTraceback(cause));
            return;
        }
    }
    PyErr_Restore(type, value, tb);
#endif
}

inline int exec_passing_cause(PyObject* m) {
    const int r = nb_exec(m);
    if (r != 0 && PyErr_Occurred()) surface_cause();
    return r;
}

}  // namespace load_detail

// `def` is what nanobind's init function returned: a module definition whose
// exec slot loads the module (multi-phase init), or the loaded module itself,
// or null with an error set (single-phase init).
inline PyObject* pass_load_errors(PyObject* def) {
    if (!def) {
        if (PyErr_Occurred()) load_detail::surface_cause();
        return nullptr;
    }
    if (PyObject_TypeCheck(def, &PyModuleDef_Type)) {
        // The definition is made once and handed out again on a repeated init.
        for (PyModuleDef_Slot* s = reinterpret_cast<PyModuleDef*>(def)->m_slots; s && s->slot; ++s)
            if (s->slot == Py_mod_exec && s->value != (void*)&load_detail::exec_passing_cause) {
                load_detail::nb_exec = reinterpret_cast<int (*)(PyObject*)>(s->value);
                s->value = (void*)&load_detail::exec_passing_cause;
            }
    }
    return def;
}

}  // namespace orvane
