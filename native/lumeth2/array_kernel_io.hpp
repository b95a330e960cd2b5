// Array plumbing shared by the numeric kernels of the lumeth-2 chain (tempo change,
// PCM buffer, decoder inputs, pixels, colour): numpy from C++, raw views of any
// buffer-protocol object, and fresh numpy arrays the kernels fill.
//
// Arrays handed to Python are always numpy-allocated (numpy owns the memory), or
// numpy views whose base keeps the memory alive; nothing here hands out raw memory.
#pragma once
#include "common/py.hpp"

#include <nanobind/stl/string.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace l2 {

// numpy, imported on first use and kept for the life of the process (the module
// holds numpy in its namespace too, so it is never unloaded before us).
inline nb::module_ np_mod() {
    static PyObject* np = nullptr;
    if (!np) np = orvane::py_import("numpy").release().ptr();
    return nb::borrow<nb::module_>(np);
}

// A held Py_buffer over any buffer-protocol object (numpy arrays included), read-only
// or writable. Released on destruction; the exporter stays alive while it is held.
class BufView {
public:
    BufView() = default;
    // writable=false accepts read-only arrays too.
    BufView(nb::handle obj, bool writable) {
        int flags = writable ? PyBUF_RECORDS : PyBUF_RECORDS_RO;
        if (PyObject_GetBuffer(obj.ptr(), &view_, flags) != 0) throw nb::python_error();
        held_ = true;
    }
    BufView(const BufView&) = delete;
    BufView& operator=(const BufView&) = delete;
    BufView(BufView&& o) noexcept : view_(o.view_), held_(o.held_) { o.held_ = false; }
    BufView& operator=(BufView&& o) noexcept {
        if (this != &o) {
            release();
            view_ = o.view_;
            held_ = o.held_;
            o.held_ = false;
        }
        return *this;
    }
    ~BufView() { release(); }

    void release() {
        if (held_) {
            PyBuffer_Release(&view_);
            held_ = false;
        }
    }
    void* data() const { return view_.buf; }
    int ndim() const { return view_.ndim; }
    Py_ssize_t shape(int i) const { return view_.shape[i]; }
    Py_ssize_t stride(int i) const { return view_.strides[i]; }
    Py_ssize_t itemsize() const { return view_.itemsize; }
    Py_ssize_t count() const {
        Py_ssize_t n = 1;
        for (int i = 0; i < view_.ndim; ++i) n *= view_.shape[i];
        return n;
    }
    bool readonly() const { return view_.readonly != 0; }
    bool c_contiguous() const { return PyBuffer_IsContiguous(&view_, 'C') != 0; }
    // Byte extent [lo, hi) that the view's elements occupy (empty views: lo == hi).
    void extent(const char*& lo, const char*& hi) const {
        const char* p = static_cast<const char*>(view_.buf);
        lo = hi = p;
        if (count() == 0) return;
        const char* a = p;
        const char* b = p + view_.itemsize;
        for (int i = 0; i < view_.ndim; ++i) {
            Py_ssize_t span = (view_.shape[i] - 1) * view_.strides[i];
            if (span < 0) a += span; else b += span;
        }
        lo = a;
        hi = b;
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The numpy dtype object named `name` ("float32", "float64", "uint8"), made once and
// kept for the life of the process.
inline nb::handle np_dtype(const char* name) {
    static PyObject* f32 = nullptr;
    static PyObject* f64 = nullptr;
    static PyObject* u8 = nullptr;
    PyObject** slot = std::strcmp(name, "float32") == 0   ? &f32
                      : std::strcmp(name, "float64") == 0 ? &f64
                                                          : &u8;
    if (!*slot) *slot = nb::object(np_mod().attr("dtype")(name)).release().ptr();
    return *slot;
}

// True when `arr`'s dtype is the native-order form of `name` ("float32",
// "float64", "uint8"). Dtype equality includes the byte order.
inline bool dtype_is(nb::handle arr, const char* name) {
    nb::object dt = nb::getattr(arr, "dtype", nb::none());
    if (dt.is_none()) return false;
    return dt.equal(np_dtype(name));
}

inline bool is_ndarray(nb::handle obj) {
    static PyObject* nd = nullptr;
    if (!nd) nd = nb::object(np_mod().attr("ndarray")).release().ptr();
    return PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(nd)) != 0;
}

// A fresh, uninitialised, C-contiguous numpy array.
inline nb::object np_empty_shape(const std::vector<Py_ssize_t>& shape, const char* dtype) {
    nb::list s;
    for (Py_ssize_t d : shape) s.append(d);
    return np_mod().attr("empty")(nb::tuple(s), dtype);
}
inline nb::object np_empty(std::initializer_list<Py_ssize_t> shape, const char* dtype) {
    return np_empty_shape(std::vector<Py_ssize_t>(shape), dtype);
}

// Pointer to the first element of a fresh array made by np_empty (C-contiguous).
template <class T>
inline T* array_data(nb::handle arr) {
    BufView v(arr, true);
    return static_cast<T*>(v.data());  // numpy keeps the memory; the view is only for the address
}

// Address of the first element of a C-contiguous array held by the caller.
inline const float* array_data_ro(nb::handle arr) {
    BufView v(arr, false);
    return static_cast<const float*>(v.data());
}

// operator.index(obj) as Py_ssize_t: integers only (floats refused with TypeError,
// as range() refuses them); values beyond Py_ssize_t raise OverflowError.
inline Py_ssize_t as_index(nb::handle obj) {
    nb::object i = nb::steal(PyNumber_Index(obj.ptr()));
    if (!i.is_valid()) throw nb::python_error();
    Py_ssize_t v = PyLong_AsSsize_t(i.ptr());
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

}  // namespace l2
