// `_RenderClock`: times a render from the first audio chunk the engine takes to the
// last frame handed out, so opening the avatar and loading models are not counted.
#include "open/clock.hpp"

#include <nanobind/stl/optional.h>

namespace op {

// `_RenderClock.chunks(it)`: passes the chunks through unchanged; the first one
// starts the clock just before the engine receives it.
struct ClockedChunks {
    nb::object clock;  // the _RenderClock, kept alive
    nb::object src;  // the upstream iterable; its iterator is taken at the first request
    nb::object it;
    bool ended = false, running = false;

    template <class F>
    void each(F f) {
        for (nb::object* o : {&clock, &src, &it}) f(*o);
    }

    nb::object next() {
        if (ended) throw nb::stop_iteration();
        nb::object c;
        try {
            if (!it.is_valid()) it = checked(PyObject_GetIter(src.ptr()));
            c = py_next(it);
        } catch (nb::python_error&) {
            ended = true;
            src = nb::none();
            throw;
        }
        if (!c.is_valid()) {
            ended = true;
            src = it = nb::none();
            throw nb::stop_iteration();
        }
        nb::cast<RenderClock&>(clock).start_if_unset();
        return c;
    }

    void close() {
        ended = true;
        src = it = nb::none();
    }
};

void register_clock(nb::module_& m) {
    bind_lazy<ClockedChunks>(m, "_ClockedChunks");

    nb::class_<RenderClock> cls(m, "_RenderClock", "Steady-state clock of one render.");
    cls.def(nb::init<>())
        .def_rw("_t0", &RenderClock::t0, nb::arg().none())
        .def_rw("_t1", &RenderClock::t1, nb::arg().none())
        .def_rw("_n", &RenderClock::n)
        .def(
            "chunks",
            [](nb::object self, nb::handle it) {
                ClockedChunks c;
                c.clock = self;
                c.src = nb::borrow(it);
                return c;
            },
            nb::arg("it").none())
        .def("frame", &RenderClock::frame)
        .def("stats", &RenderClock::stats);
    cls.attr("__slots__") = nb::make_tuple("_t0", "_t1", "_n");
}

}  // namespace op
