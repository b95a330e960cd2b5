// Python-side plumbing shared by the offline layer: raising refusals, reading
// optional attributes, buffer access and fresh numpy arrays.
#pragma once
#include <cstdint>
#include <string>

#include "open/open_module.hpp"

namespace op {

using orvane::py_import;
using orvane::py_repr;
using orvane::py_str;

// Raise the exception object `exc` as it stands.
[[noreturn]] inline void throw_obj(nb::handle exc) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    throw nb::python_error();
}

// Raise `exc` as a translation of `caught` (`raise exc from None` inside its
// except clause): no cause, the caught error kept as suppressed context, so the
// user sees the refusal alone and the caught error survives as its detail.
[[noreturn]] inline void throw_unchained(nb::handle exc, nb::handle caught = nb::handle()) {
    PyException_SetCause(exc.ptr(), nullptr);  // also sets __suppress_context__
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    if (caught.is_valid() && caught.ptr() != exc.ptr()) PyException_SetContext(exc.ptr(), caught.inc_ref().ptr());
    throw nb::python_error();
}

// refuse(cls, message, detail) of the error module, raised as above.
[[noreturn]] inline void raise_refusal(const char* cls, nb::handle message, nb::handle detail,
                                       nb::handle caught = nb::handle()) {
    nb::object exc = mod_get("refuse")(mod_get(cls), message, detail);
    throw_unchained(exc, caught);
}

// An error class called with its message alone.
[[noreturn]] inline void raise_plain(const char* cls, const std::string& message) {
    nb::object exc = mod_get(cls)(message);
    throw_obj(exc);
}

// getattr(obj, name, default)
inline nb::object attr_or(nb::handle obj, const char* name, nb::handle dflt) {
    PyObject* r = PyObject_GetAttrString(obj.ptr(), name);
    if (r) return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return nb::borrow(dflt);
}

inline bool is_instance(nb::handle obj, nb::handle cls) {
    int r = PyObject_IsInstance(obj.ptr(), cls.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

inline bool truthy(nb::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw nb::python_error();
    return r == 1;
}

// `a op b` with the interpreter's comparison.
inline bool py_compare(nb::handle a, nb::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

inline nb::object checked(PyObject* r) {
    if (!r) throw nb::python_error();
    return nb::steal(r);
}

// next(it); an invalid object when the iterator is exhausted.
inline nb::object py_next(nb::handle it) {
    PyObject* r = PyIter_Next(it.ptr());
    if (!r && PyErr_Occurred()) throw nb::python_error();
    return nb::steal(r);
}

// `from <module> import <name>` (module already imported): the interpreter's rules,
// a submodule of that name included, and its ImportError for a missing name.
inline nb::object from_import(nb::handle mod, const char* name) {
    PyObject* r = PyObject_GetAttrString(mod.ptr(), name);
    if (r) return nb::steal(r);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    nb::object modname = attr_or(mod, "__name__", nb::none());
    if (PyUnicode_Check(modname.ptr())) {
        nb::object sub = py_import("sys").attr("modules").attr("get")(py_str(modname) + "." + name);
        if (!sub.is_none()) return sub;
    }
    nb::object path = attr_or(mod, "__file__", nb::none());
    bool named = PyUnicode_Check(modname.ptr()), located = PyUnicode_Check(path.ptr());
    std::string msg = "cannot import name " + py_repr(nb::str(name)) + " from " +
                      (named ? py_repr(modname) : std::string("'<unknown module name>'")) + " (" +
                      (located ? py_str(path) : std::string("unknown location")) + ")";
    nb::str text(msg.c_str());
    PyErr_SetImportError(text.ptr(), named ? modname.ptr() : nullptr, located ? path.ptr() : nullptr);
    throw nb::python_error();
}

// Readable buffer view of a C-contiguous object (bytes, arrays), released on scope exit.
struct ReadBuf {
    Py_buffer v{};
    explicit ReadBuf(nb::handle obj) {
        if (PyObject_GetBuffer(obj.ptr(), &v, PyBUF_C_CONTIGUOUS) != 0) throw nb::python_error();
    }
    ~ReadBuf() { PyBuffer_Release(&v); }
    ReadBuf(const ReadBuf&) = delete;
    ReadBuf& operator=(const ReadBuf&) = delete;
    const void* data() const { return v.buf; }
    size_t bytes() const { return static_cast<size_t>(v.len); }
};

// A fresh bytes object of n bytes for a kernel to fill (not shared until returned).
inline nb::bytes fresh_bytes(size_t n, char** out) {
    PyObject* b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (!b) throw nb::python_error();
    *out = PyBytes_AS_STRING(b);
    return nb::steal<nb::bytes>(b);
}

// A fresh, owning, C-contiguous numpy array; its data pointer through `out`.
inline nb::object fresh_array(nb::handle shape, const char* dtype, void** out) {
    nb::object arr = py_import("numpy").attr("empty")(shape, dtype);
    Py_buffer v{};
    if (PyObject_GetBuffer(arr.ptr(), &v, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0)
        throw nb::python_error();
    *out = v.buf;  // numpy owns the memory; the view is only for the address
    PyBuffer_Release(&v);
    return arr;
}

// A reading of the module's `time` facility (looked up at call time, so a caller
// that swaps the clock is honoured).
inline nb::object time_call(const char* fn) { return mod_get("time").attr(fn)(); }

}  // namespace op

namespace op {

// Cyclic garbage collection for bound classes that hold Python objects: a type T
// lists its object members through `template <class F> void each(F f)`. Without
// this, a cycle through such a member (an engine whose class refers back to the
// avatar's module, say) could never be collected.
template <class T>
int gc_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    T* p = nb::inst_ptr<T>(self);
    int r = 0;
    p->each([&](nb::object& o) {
        if (!r && o.ptr()) r = visit(o.ptr(), arg);
    });
    return r;
}

template <class T>
int gc_clear(PyObject* self) {
    if (!nb::inst_ready(self)) return 0;
    T* p = nb::inst_ptr<T>(self);
    p->each([](nb::object& o) { o = nb::none(); });
    return 0;
}

template <class T>
PyType_Slot* gc_slots() {
    static PyType_Slot slots[] = {{Py_tp_traverse, (void*)gc_traverse<T>},
                                  {Py_tp_clear, (void*)gc_clear<T>},
                                  {0, nullptr}};
    return slots;
}

// A lazy sequence stepped by its consumer, with a generator's guard: asking for the
// next item (or closing) from inside a step raises instead of re-entering it.
struct StepGuard {
    bool& running;
    explicit StepGuard(bool& r) : running(r) {
        if (running) orvane::raise_value_error("generator already executing");
        running = true;
    }
    ~StepGuard() { running = false; }
    StepGuard(const StepGuard&) = delete;
    StepGuard& operator=(const StepGuard&) = delete;
};

// Binds T as an iterator: T has `bool running`, `nb::object next()` (raising
// stop_iteration at the end) and `void close()` (the consumer abandons it).
template <class T>
nb::class_<T> bind_lazy(nb::handle scope, const char* name, const char* doc = "", PyType_Slot* slots = nullptr) {
    nb::class_<T> cls(scope, name, nb::type_slots(slots ? slots : gc_slots<T>()), doc);
    cls.def("__iter__", [](nb::handle self) { return nb::borrow(self); })
        .def("__next__",
             [](T& t) {
                 StepGuard g(t.running);
                 return t.next();
             })
        .def("close", [](T& t) {
            StepGuard g(t.running);
            t.close();
        });
    return cls;
}

}  // namespace op
