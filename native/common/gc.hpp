// Cyclic garbage collection for bound classes whose C++ members hold Python
// objects. Without traverse and clear slots the collector cannot see those
// references: a cycle through such a member (a chain object that refers back to
// its renderer, say) is never freed, and the extension reports the instances as
// leaked when the interpreter exits.
//
// A class T lists its object members through
//     template <class F> void each(F f);
// calling f on each member (an nb::object, or a container type such as nb::list,
// passed as its own type). `gc_slots<T>()` gives the slots for
// `nb::type_slots(...)`; they also cover the instance dictionary of a class bound
// with nb::dynamic_attr(), which nanobind's own slots would otherwise visit.
#pragma once
#include "common/py.hpp"

namespace orvane {

template <class T>
int gc_traverse(PyObject* self, visitproc visit, void* arg);

namespace gc_detail {

// The dictionary slot of T's own bound type, the first type up from the
// instance's whose traverse slot is T's (never a Python subclass's: a subclass
// that adds a dictionary visits and clears that one itself).
template <class T>
PyObject** own_dict(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    while (tp && tp->tp_traverse != (traverseproc)gc_traverse<T>) tp = tp->tp_base;
    const Py_ssize_t offset = tp ? tp->tp_dictoffset : 0;
    return offset > 0 ? reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset) : nullptr;
}

// What a cleared member becomes: None, or an empty list for a list member, so
// code that still reaches the instance meets a Python error, never a null object.
inline void reset(nb::object& o) { o = nb::none(); }
inline void reset(nb::list& o) { o = nb::list(); }

}  // namespace gc_detail

template <class T>
int gc_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    if (PyObject** dict = gc_detail::own_dict<T>(self)) Py_VISIT(*dict);
    if (!nb::inst_ready(self)) return 0;
    int r = 0;
    nb::inst_ptr<T>(self)->each([&](auto& o) {
        if (!r && o.ptr()) r = visit(o.ptr(), arg);
    });
    return r;
}

template <class T>
int gc_clear(PyObject* self) {
    if (PyObject** dict = gc_detail::own_dict<T>(self)) Py_CLEAR(*dict);
    if (!nb::inst_ready(self)) return 0;
    nb::inst_ptr<T>(self)->each([](auto& o) { gc_detail::reset(o); });
    return 0;
}

// Clear slot for a class whose references cannot close a cycle and must stay
// valid while the instance lives (a buffer it made itself and points into).
template <class T>
int gc_keep(PyObject* self) {
    if (PyObject** dict = gc_detail::own_dict<T>(self)) Py_CLEAR(*dict);
    return 0;
}

template <class T, int (*Clear)(PyObject*) = gc_clear<T>>
PyType_Slot* gc_slots() {
    static PyType_Slot slots[] = {{Py_tp_traverse, (void*)gc_traverse<T>},
                                  {Py_tp_clear, (void*)Clear},
                                  {0, nullptr}};
    return slots;
}

}  // namespace orvane
