// Frame records on the standard streams: exact-size reads from `_IN`, indexed
// RGB888 records to `_OUT`. The module's current `_IN`/`_OUT` are looked up at
// every call, so a caller that rebinds them (a test, an embedding) is honoured.
#include "lumeth2/host_module.hpp"

#include <climits>
#include <cstdint>

namespace l2 {

namespace {

nb::object read_exact(nb::object n) {
    // A count that is no integer, or a negative one (which a reader takes as
    // "everything up to the end of input"), is refused before the stream is touched.
    nb::object count = nb::steal(PyNumber_Index(n.ptr()));
    if (!count.is_valid()) throw nb::python_error();
    int negative = PyObject_RichCompareBool(count.ptr(), nb::int_(0).ptr(), Py_LT);
    if (negative < 0) throw nb::python_error();
    if (negative) orvane::raise_value_error("read_exact: n must be zero or more, not " + orvane::py_str(count));
    // One request: a buffered binary reader answers short only at end of input.
    nb::object data = mod_get("_IN").attr("read")(count);
    if (data.is_none()) return nb::none();
    Py_ssize_t got = PyObject_Length(data.ptr());
    if (got < 0) throw nb::python_error();
    int short_read = PyObject_RichCompareBool(nb::int_(got).ptr(), count.ptr(), Py_LT);
    if (short_read < 0) throw nb::python_error();
    return short_read ? nb::none() : data;
}

// The record index as 4 little-endian bytes. Anything that is not a plain int
// in the int32 range goes through struct so that the refusal (and its text) is
// the one struct gives.
nb::bytes index_bytes(nb::handle idx) {
    if (PyLong_CheckExact(idx.ptr())) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(idx.ptr(), &overflow);
        if (!overflow && v >= INT32_MIN && v <= INT32_MAX) {
            uint32_t u = static_cast<uint32_t>(static_cast<int32_t>(v));
            const char le[4] = {static_cast<char>(u & 0xff), static_cast<char>((u >> 8) & 0xff),
                                static_cast<char>((u >> 16) & 0xff),
                                static_cast<char>((u >> 24) & 0xff)};
            return nb::bytes(le, 4);
        }
        PyErr_Clear();
    }
    return nb::borrow<nb::bytes>(orvane::py_import("struct").attr("pack")("<i", idx));
}

// One write of `data`. A buffered writer takes everything; the raw writer that
// an unbuffered interpreter (-u, PYTHONUNBUFFERED) binds as stdout's byte layer
// may take part of it (a signal during a pipe write), and a record cut short
// would desynchronise the reader for good, so the rest is written after it.
void write_whole(nb::handle write, nb::handle data) {
    // the count a write call reports; -1 when it reports none (a non-blocking
    // stream's business) or something that is no count
    auto written = [](nb::handle r) -> Py_ssize_t {
        if (!PyLong_CheckExact(r.ptr())) return -1;
        Py_ssize_t k = PyLong_AsSsize_t(r.ptr());
        if (k < 0) PyErr_Clear();
        return k;
    };
    Py_ssize_t took = written(write(data));
    if (took <= 0) return;
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();  // the writer took some other object: its count is its word
        return;
    }
    Py_ssize_t left = view.len;
    PyBuffer_Release(&view);
    nb::object rest;  // the unwritten tail, a byte view of the caller's object
    while (took > 0 && took < left) {
        if (!rest.is_valid()) {
            rest = nb::steal(PyMemoryView_FromObject(data.ptr()));
            if (!rest.is_valid()) throw nb::python_error();
            rest = rest.attr("cast")("B");
        }
        rest = rest[nb::slice(nb::int_(took), nb::none(), nb::none())];
        left -= took;
        took = written(write(rest));
    }
}

void write_record(nb::handle write, nb::handle idx, nb::handle rgb) {
    nb::bytes head = index_bytes(idx);
    write_whole(write, head);
    // The pixels go out as the caller's own object: the buffered writer copies
    // them into its buffer or writes them straight through, never joined with
    // the index into a fresh record.
    write_whole(write, rgb);
}

void write_frame(nb::handle idx, nb::handle rgb) {
    write_record(mod_get("_OUT").attr("write"), idx, rgb);
}

// The module's own write_frame, to tell whether emit may write directly.
nb::handle g_write_frame;

void emit(nb::handle frames) {
    // A rebound write_frame (a test, an embedding) is honoured; the module's
    // own one is called directly, with _OUT looked up once per list.
    nb::object writer = mod_get("write_frame");
    nb::object out_write = writer.is(g_write_frame) ? mod_get("_OUT").attr("write") : nb::object();
    nb::object iter = nb::steal(PyObject_GetIter(frames.ptr()));
    if (!iter.is_valid()) throw nb::python_error();
    while (true) {
        nb::object item = nb::steal(PyIter_Next(iter.ptr()));
        if (!item.is_valid()) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        // unpack exactly as `for k, data in frames` would
        nb::object it = nb::steal(PyObject_GetIter(item.ptr()));
        if (!it.is_valid()) {
            PyErr_Clear();
            orvane::raise_type_error("cannot unpack non-iterable " +
                                     std::string(Py_TYPE(item.ptr())->tp_name) + " object");
        }
        nb::object parts[2];
        for (int i = 0; i < 2; ++i) {
            parts[i] = nb::steal(PyIter_Next(it.ptr()));
            if (!parts[i].is_valid()) {
                if (PyErr_Occurred()) throw nb::python_error();
                orvane::raise_value_error("not enough values to unpack (expected 2, got " +
                                          std::to_string(i) + ")");
            }
        }
        nb::object extra = nb::steal(PyIter_Next(it.ptr()));
        if (extra.is_valid()) orvane::raise_value_error("too many values to unpack (expected 2)");
        if (PyErr_Occurred()) throw nb::python_error();
        if (out_write.is_valid())
            write_record(out_write, parts[0], parts[1]);
        else
            writer(parts[0], parts[1]);
    }
    int nonempty = PyObject_IsTrue(frames.ptr());
    if (nonempty < 0) throw nb::python_error();
    if (nonempty) mod_get("_OUT").attr("flush")();
}

}  // namespace

void register_stdio(nb::module_& m) {
    m.def("read_exact", &read_exact, nb::sig("def read_exact(n: int) -> bytes | None"),
          nb::arg("n").none(),
          "Read exactly n bytes from _IN in one request; None when the input ends first.");
    m.def("write_frame", &write_frame,
          nb::sig("def write_frame(idx: int, rgb: bytes | bytearray | memoryview) -> None"),
          nb::arg("idx").none(), nb::arg("rgb").none(),
          "Append one frame record (int32 LE index, then the pixel bytes) to _OUT; no flush.");
    // held for the life of the process, like the module itself
    g_write_frame = nb::object(m.attr("write_frame")).release();
    m.def("emit", &emit,
          nb::sig("def emit(frames: list[tuple[int, bytes | bytearray | memoryview]]) -> None"),
          nb::arg("frames").none(),
          "Write every (index, pixels) record of frames, then flush _OUT once if any was given.");
}

}  // namespace l2
