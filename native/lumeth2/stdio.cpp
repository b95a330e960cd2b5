// Frame records on the standard streams: exact-size reads from `_IN`, indexed
// RGB888 records to `_OUT`. The module's current `_IN`/`_OUT` are looked up at
// every call, so a caller that rebinds them (a test, an embedding) is honoured.
#include "lumeth2/stdio.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>

namespace l2 {

namespace {

// Waits until `fd` is ready for `events` with the GIL released. A signal wakes
// the wait: its Python handler runs here, and an exception it raises (the
// host's SIGTERM exit) ends the wait. A signal that lands after the last check
// but before poll() sleeps does not wake it, so the wait is cut into slices and
// pending handlers run between them.
constexpr int kSignalCheckMs = 100;

// Runs the Python handlers of signals that arrived since the last check. The
// host's code runs no bytecode between its blocking calls, so a handler (the
// SIGTERM exit) runs only where this is called or where a system call it
// interrupted reports EINTR.
void check_signals() {
    if (PyErr_CheckSignals() != 0) throw nb::python_error();
}

void wait_ready(int fd, short events) {
    check_signals();  // a handler pending since before the wait: the descriptor may well be ready
    while (true) {
        struct pollfd p = {fd, events, 0};
        int r, err = 0;
        {
            nb::gil_scoped_release unlocked;
            r = ::poll(&p, 1, kSignalCheckMs);
            if (r < 0) err = errno;
        }
        if (r > 0) {
            if (p.revents & POLLNVAL) {
                errno = EBADF;
                PyErr_SetFromErrno(PyExc_OSError);
                throw nb::python_error();
            }
            return;  // ready, or an error or hang-up that the next call reports
        }
        if (r < 0 && err != EINTR) {
            errno = err;
            PyErr_SetFromErrno(PyExc_OSError);
            throw nb::python_error();
        }
        check_signals();
    }
}

// The descriptor behind a stream, or -1 when it has none (an in-memory stream).
int fileno_of(nb::handle stream) {
    nb::object fn = nb::getattr(stream, "fileno", nb::none());
    if (fn.is_none()) return -1;
    try {
        return nb::cast<int>(fn());
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_OSError) || e.matches(PyExc_ValueError)) return -1;
        throw;
    } catch (const std::exception&) {
        return -1;
    }
}

Py_ssize_t length_of(nb::handle data) {
    Py_ssize_t got = PyObject_Length(data.ptr());
    if (got < 0) throw nb::python_error();
    return got;
}

nb::object read_exact(nb::object n) {
    // A count that is no integer, or a negative one (which a reader takes as
    // "everything up to the end of input"), is refused before the stream is touched.
    nb::object count = nb::steal(PyNumber_Index(n.ptr()));
    if (!count.is_valid()) throw nb::python_error();
    int negative = PyObject_RichCompareBool(count.ptr(), nb::int_(0).ptr(), Py_LT);
    if (negative < 0) throw nb::python_error();
    if (negative) orvane::raise_value_error("read_exact: n must be zero or more, not " + orvane::py_str(count));
    nb::object in = mod_get("_IN");
    nb::object read = in.attr("read");
    // A signal that landed while the host rendered or wrote: the read may block
    // for as long as the parent sends nothing.
    check_signals();
    // One request: a buffered binary reader over a blocking descriptor answers
    // short only at end of input.
    nb::object data = read(count);
    const Py_ssize_t want = PyLong_AsSsize_t(count.ptr());
    if (want == -1 && PyErr_Occurred()) throw nb::python_error();
    Py_ssize_t have = data.is_none() ? 0 : length_of(data);
    if (have >= want) return data;
    if (!data.is_none() && have == 0) return nb::none();  // end of input
    // No data (None), or a short answer: a non-blocking input that has nothing
    // more yet answers like that too. Wait until it is readable and go on; only
    // a read that returns no bytes at all is the end of input.
    int fd = fileno_of(in);
    if (fd < 0) return nb::none();
    nb::list parts;
    if (have > 0) parts.append(data);
    while (have < want) {
        wait_ready(fd, POLLIN);
        nb::object more = read(nb::int_(want - have));
        if (more.is_none()) continue;
        Py_ssize_t got = length_of(more);
        if (got == 0) return nb::none();  // bytes of an incomplete record are dropped
        parts.append(more);
        have += got;
    }
    if (nb::len(parts) == 1) return parts[0];
    return nb::bytes("").attr("join")(parts);
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

// Writes all of `data` to `stream` through its `write`. A buffered writer takes
// everything at once; the raw writer that an unbuffered interpreter (-u,
// PYTHONUNBUFFERED) binds as stdout's byte layer may take part of it (a signal
// during a pipe write), or nothing (None) when the descriptor is non-blocking
// and full, and a buffered writer over a non-blocking descriptor raises
// BlockingIOError with the count it took. A record cut short would put the
// reader out of step for good, so in every case the rest is written once the
// descriptor is writable again.
//
// A parent that stops reading leaves a blocking write asleep until a signal
// interrupts it, and a signal that lands just before the write begins (or on
// another thread) interrupts nothing: so every write is preceded by a wait for
// room in slices, pending handlers run between them, and a partial write is
// followed by a check of its own. SIGTERM then ends the host wherever it lands.
// A write that directly follows one of the same record (`room_known`) runs the
// pending handlers only: the record's first write has waited already.
void write_whole(nb::handle stream, nb::handle write, nb::handle data, bool room_known = false) {
    Py_ssize_t left = -1;  // bytes still owed, once known
    nb::object rest = nb::borrow(data);
    const int fd = fileno_of(stream);
    auto wait_writable = [&](nb::python_error* pending) {
        if (fd < 0) {
            if (pending) throw std::move(*pending);
            errno = EAGAIN;
            PyErr_SetFromErrno(PyExc_BlockingIOError);
            throw nb::python_error();
        }
        wait_ready(fd, POLLOUT);
    };
    while (true) {
        if (fd >= 0 && !room_known)
            wait_ready(fd, POLLOUT);
        else
            check_signals();
        room_known = false;
        Py_ssize_t took = 0;
        try {
            nb::object r = write(rest);
            if (r.is_none()) {
                took = 0;
            } else if (PyLong_CheckExact(r.ptr())) {
                took = PyLong_AsSsize_t(r.ptr());
                if (took < 0) {
                    PyErr_Clear();
                    return;  // no count: the writer's own business
                }
            } else {
                return;
            }
            if (r.is_none()) {
                wait_writable(nullptr);
                continue;
            }
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_BlockingIOError)) throw;
            nb::object n = nb::getattr(e.value(), "characters_written", nb::int_(0));
            took = PyLong_AsSsize_t(n.ptr());
            if (took < 0) {
                PyErr_Clear();
                took = 0;
            }
            wait_writable(&e);
        }
        if (left < 0) {
            Py_buffer view;
            if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) {
                PyErr_Clear();  // the writer took some other object: its count is its word
                return;
            }
            left = view.len;
            PyBuffer_Release(&view);
            rest = nb::steal(PyMemoryView_FromObject(data.ptr()));
            if (!rest.is_valid()) throw nb::python_error();
            rest = rest.attr("cast")("B");
        }
        if (took >= left) return;
        if (took > 0) rest = rest[nb::slice(nb::int_(took), nb::none(), nb::none())];
        left -= took;
    }
}

// flush() of a buffered writer over a non-blocking descriptor raises
// BlockingIOError while the descriptor is full: wait and flush again.
void flush_whole(nb::handle stream) {
    while (true) {
        // Handlers only, no wait for room: with nothing buffered the flush writes
        // nothing, and a parent that writes its input before it reads ours must
        // not find the host waiting on it. A flush that blocks is interrupted by
        // the signal and runs the handler itself.
        check_signals();
        try {
            stream.attr("flush")();
            return;
        } catch (nb::python_error& e) {
            if (!e.matches(PyExc_BlockingIOError)) throw;
            int fd = fileno_of(stream);
            if (fd < 0) throw;
            wait_ready(fd, POLLOUT);
        }
    }
}

void write_record(nb::handle out, nb::handle write, nb::handle idx, nb::handle rgb) {
    nb::bytes head = index_bytes(idx);
    write_whole(out, write, head);
    // The pixels go out as the caller's own object: the buffered writer copies
    // them into its buffer or writes them straight through, never joined with
    // the index into a fresh record.
    write_whole(out, write, rgb, /*room_known=*/true);
}

void write_frame(nb::handle idx, nb::handle rgb) {
    nb::object out = mod_get("_OUT");
    write_record(out, out.attr("write"), idx, rgb);
}

// The module's own write_frame, to tell whether emit may write directly.
nb::handle g_write_frame;

void emit(nb::handle frames) {
    // A rebound write_frame (a test, an embedding) is honoured; the module's
    // own one is called directly, with _OUT looked up once per list.
    nb::object writer = mod_get("write_frame");
    nb::object out = mod_get("_OUT");
    nb::object out_write = writer.is(g_write_frame) ? out.attr("write") : nb::object();
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
            write_record(out, out_write, parts[0], parts[1]);
        else
            writer(parts[0], parts[1]);
    }
    int nonempty = PyObject_IsTrue(frames.ptr());
    if (nonempty < 0) throw nb::python_error();
    if (nonempty) flush_whole(mod_get("_OUT"));
}

}  // namespace

void out_write_whole(nb::handle data) {
    nb::object out = mod_get("_OUT");
    write_whole(out, out.attr("write"), data);
}

void out_flush() { flush_whole(mod_get("_OUT")); }

void out_abandon() {
    const int fd = fileno_of(mod_get("_OUT"));
    if (fd < 0) return;
    const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null < 0) return;
    if (null != fd) {
        ::dup2(null, fd);
        ::close(null);
    }
}

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
