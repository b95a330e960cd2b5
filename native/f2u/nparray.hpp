// numpy glue for the f2u sources: conversions through numpy itself (so its
// error texts and casting rules hold), typed views of C-contiguous arrays and
// fresh arrays that own their memory.
#pragma once
#include <nanobind/ndarray.h>
#include <cstdint>
#include <string>
#include <vector>

#include "common/py.hpp"

namespace f2u::np {

inline nb::module_& numpy() {
    static nb::module_* mod = new nb::module_(orvane::py_import("numpy"));
    return *mod;
}
inline nb::object dtype(const char* name) { return numpy().attr(name); }

// np.asarray(obj, dtype=dt)
inline nb::object asarray(nb::handle obj, const char* dt) {
    return numpy().attr("asarray")(obj, nb::arg("dtype") = dtype(dt));
}
// np.asarray(obj, dtype=dt, order='C'): no copy when already matching; keeps
// 0-d arrays 0-d (ascontiguousarray would make them 1-d).
inline nb::object contiguous(nb::handle obj, const char* dt) {
    return numpy().attr("asarray")(obj, nb::arg("dtype") = dtype(dt), nb::arg("order") = "C");
}
// np.array(obj, dtype=dt, order='C'): always a new array.
inline nb::object copy_c(nb::handle obj, const char* dt) {
    return numpy().attr("array")(obj, nb::arg("dtype") = dtype(dt), nb::arg("order") = "C");
}

// Read-only view of a C-contiguous array of T; `keep` holds the owner.
template <class T>
struct View {
    nb::object keep;
    const T* data = nullptr;
    std::vector<size_t> shape;
    size_t size = 1;
    size_t ndim() const { return shape.size(); }
};

template <class T>
inline const char* dtype_name();
template <> inline const char* dtype_name<double>() { return "float64"; }
template <> inline const char* dtype_name<float>() { return "float32"; }
template <> inline const char* dtype_name<int64_t>() { return "int64"; }
template <> inline const char* dtype_name<uint16_t>() { return "uint16"; }
template <> inline const char* dtype_name<bool>() { return "bool"; }

// View of an object that already is a C-contiguous array of T.
template <class T>
inline View<T> view_exact(nb::object arr) {
    View<T> v;
    auto nd = nb::cast<nb::ndarray<const T, nb::c_contig, nb::device::cpu>>(arr, false);
    if (reinterpret_cast<uintptr_t>(nd.data()) % alignof(T) != 0) {
        // numpy allows element-misaligned views (a buffer at an odd offset); the
        // kernels read through typed pointers, so work on an aligned copy.
        arr = copy_c(arr, dtype_name<T>());
        nd = nb::cast<nb::ndarray<const T, nb::c_contig, nb::device::cpu>>(arr, false);
    }
    v.data = nd.data();
    // the shape as numpy reports it (0-d arrays stay 0-d)
    for (nb::handle d : nb::cast<nb::tuple>(arr.attr("shape"))) {
        v.shape.push_back(nb::cast<size_t>(d));
        v.size *= v.shape.back();
    }
    v.keep = std::move(arr);
    return v;
}

// View of `obj` converted (through numpy) to a C-contiguous array of T.
template <class T>
inline View<T> view(nb::handle obj) {
    return view_exact<T>(contiguous(obj, dtype_name<T>()));
}

// A fresh, owning C-contiguous numpy array of T with the given shape.
template <class T>
struct Out {
    nb::object obj;
    T* data = nullptr;
    size_t size = 1;
};

template <class T>
inline Out<T> empty(const std::vector<size_t>& shape) {
    Out<T> o;
    nb::tuple sh = nb::steal<nb::tuple>(PyTuple_New((Py_ssize_t)shape.size()));
    for (size_t i = 0; i < shape.size(); ++i) {
        PyTuple_SET_ITEM(sh.ptr(), i, PyLong_FromSize_t(shape[i]));
        o.size *= shape[i];
    }
    o.obj = numpy().attr("empty")(sh, nb::arg("dtype") = dtype(dtype_name<T>()));
    auto nd = nb::cast<nb::ndarray<T, nb::c_contig, nb::device::cpu>>(o.obj, false);
    o.data = nd.data();
    return o;
}

// Python int of any size -> int64, OverflowError beyond.
inline int64_t to_i64(nb::handle h) {
    nb::object i = nb::steal(PyNumber_Index(h.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}
// int(h) (truncating conversion, Python semantics) -> int64.
inline int64_t int_of(nb::handle h) {
    nb::object i = nb::steal(PyNumber_Long(h.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    long long v = PyLong_AsLongLong(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}
// float(h) with Python semantics.
inline double float_of(nb::handle h) {
    double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}
inline nb::object py_int(nb::handle h) {
    nb::object i = nb::steal(PyNumber_Long(h.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    return i;
}
inline nb::object py_float(nb::handle h) {
    nb::object f = nb::steal(PyNumber_Float(h.ptr()));
    if (!f.is_valid()) throw nb::python_error();
    return f;
}
// obj[key] with the container's own errors (KeyError naming the key ...).
inline nb::object item(nb::handle obj, nb::handle key) {
    nb::object r = nb::steal(PyObject_GetItem(obj.ptr(), key.ptr()));
    if (!r.is_valid()) throw nb::python_error();
    return r;
}
inline nb::object item(nb::handle obj, const char* key) { return item(obj, nb::str(key)); }

}  // namespace f2u::np
