// Glue shared by the motion steppers and the motion opener: running pack
// sessions, unpacking their outputs with the interpreter's own rules, small
// numpy helpers and checked writable views of array attributes.
#pragma once
#include <cstring>
#include <string>
#include <vector>

#include "f2u/host_module.hpp"
#include "f2u/nparray.hpp"

namespace f2u::glue {

// sess.run(None, feeds): every output, in graph order.
inline nb::object run(nb::handle sess, nb::handle feeds) { return sess.attr("run")(nb::none(), feeds); }

// `a, b, ... = obj` with exactly n targets, through the interpreter so the
// ValueError texts are the running Python's own.
inline std::vector<nb::object> unpack(nb::handle obj, int n) {
    static nb::object* fns[4] = {nullptr, nullptr, nullptr, nullptr};
    if (!fns[n]) {
        nb::dict ns;
        std::string names;
        for (int i = 0; i < n; ++i) names += (i ? ", v" : "v") + std::to_string(i);
        const std::string src = "def _unpack(x):\n    " + names + " = x\n    return (" + names + ",)\n";
        nb::object builtins = orvane::py_import("builtins");
        builtins.attr("exec")(nb::str(src.c_str()), ns);
        fns[n] = new nb::object(ns["_unpack"]);  // held for the life of the process
    }
    nb::tuple t = nb::cast<nb::tuple>((*fns[n])(obj));
    std::vector<nb::object> out;
    for (nb::handle h : t) out.push_back(nb::borrow(h));
    return out;
}

// A fresh zero-filled owning array.
template <class T>
inline np::Out<T> zeros(const std::vector<size_t>& shape) {
    np::Out<T> o = np::empty<T>(shape);
    if (o.size) std::memset(o.data, 0, o.size * sizeof(T));
    return o;
}

// Writable view of an array that must already be C-contiguous of T (the
// stepper's own buffers, possibly rebound by a caller).
template <class T>
struct Mut {
    nb::object keep;
    T* data = nullptr;
    std::vector<size_t> shape;
    size_t size = 1;
};

template <class T>
inline Mut<T> mut(nb::object arr, const char* what) {
    Mut<T> v;
    nb::ndarray<T, nb::c_contig, nb::device::cpu> nd;
    if (!nb::try_cast(arr, nd, false))
        orvane::raise_type_error(std::string(what) + " must be a writable C-contiguous " + np::dtype_name<T>() +
                                 " array");
    v.data = nd.data();
    for (size_t i = 0; i < nd.ndim(); ++i) {
        v.shape.push_back(nd.shape(i));
        v.size *= v.shape.back();
    }
    v.keep = std::move(arr);
    return v;
}

inline nb::object np_call(const char* fn) { return np::numpy().attr(fn); }

inline nb::object py_i64(int64_t v) { return nb::steal(PyLong_FromLongLong(v)); }

// Row and index arithmetic on attribute values a caller may have rebound to
// anything an int64 holds: done in 128 bits so it cannot overflow, then
// range-checked before it addresses memory.
using i128 = __int128;

inline std::string i128_str(i128 v) {
    if (v == 0) return "0";
    const bool neg = v < 0;
    std::string s;
    while (v != 0) {
        const int d = (int)(v % 10);
        s.insert(s.begin(), (char)('0' + (d < 0 ? -d : d)));
        v /= 10;
    }
    return neg ? "-" + s : s;
}

// Floor division as Python's // (b != 0).
inline i128 floor_div(i128 a, i128 b) {
    i128 q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
    return q;
}

// A value that must fit int64 (a row number, a count); OverflowError beyond.
inline int64_t to_i64(i128 v, const char* what) {
    if (v > (i128)INT64_MAX || v < (i128)INT64_MIN)
        orvane::raise(PyExc_OverflowError, std::string(what) + " " + i128_str(v) + " does not fit in 64 bits");
    return (int64_t)v;
}

// An index i into an axis of `size` entries: IndexError in numpy's words beyond it.
inline size_t checked_index(i128 i, int axis, size_t size) {
    if (i < 0 || i >= (i128)size)
        orvane::raise_index_error("index " + i128_str(i) + " is out of bounds for axis " + std::to_string(axis) +
                                  " with size " + std::to_string(size));
    return (size_t)i;
}

// A snapshot list of any sequence (the steppers' window lists may be rebound).
inline nb::list as_list(nb::handle seq) { return nb::cast<nb::list>(orvane::py_import("builtins").attr("list")(seq)); }

}  // namespace f2u::glue
