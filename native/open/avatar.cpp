// `Avatar` and its render loop: audio intake, the render clock, the engine's frame
// stream, the statistics line, interruption of abandoned renders, the short-render
// check and the mapping of engine failures onto the package's error classes.
#include "open/avatar.hpp"

#include <optional>

namespace op {

static const char* kStatsLine =
    "orvane: render %d frames in %.2f s = %.1f fps steady state (first audio push -> last frame; "
    "model load excluded)";

static bool is_ordinary(nb::handle exc) { return is_instance(exc, PyExc_Exception); }

Avatar::~Avatar() {
    // Finalisation: an avatar dropped without leaving its `with` block still closes
    // its engine. Ordinary errors of close() are swallowed, as a finaliser must.
    finalise();
}

void Avatar::finalise() {
    if (closed || !engine.is_valid() || engine.is_none()) return;
    nb::error_scope keep;
    try {
        release();
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) e.discard_as_unraisable("Avatar.__del__");
    } catch (...) {
    }
}

// The finaliser the collector runs on an avatar caught in a reference cycle,
// before the cycle is cleared.
static void avatar_finalize(PyObject* self) {
    if (nb::inst_ready(self)) nb::inst_ptr<Avatar>(self)->finalise();
}

static PyType_Slot avatar_slots[] = {{Py_tp_traverse, (void*)gc_traverse<Avatar>},
                                     {Py_tp_clear, (void*)gc_clear<Avatar>},
                                     {Py_tp_finalize, (void*)avatar_finalize},
                                     {0, nullptr}};

// The lazy frame sequence behind `Avatar.render(audio)`.
struct RenderFrames {
    nb::object avatar;  // the Avatar, kept alive while the render runs
    nb::object audio;
    nb::object frames_src, gen, clock, clip;
    nb::object borrow_unavailable, engine_failed, engine_unavailable;
    long long delivered = 0;
    bool started = false, done = false, finished = false, running = false;

    template <class F>
    void each(F f) {
        for (nb::object* o : {&avatar, &audio, &frames_src, &gen, &clock, &clip, &borrow_unavailable,
                              &engine_failed, &engine_unavailable})
            f(*o);
    }

    Avatar& av() { return nb::cast<Avatar&>(avatar); }

    void drop() {
        frames_src = gen = clock = clip = audio = nb::none();
    }

    // Steps before the engine's stream is read: closed check, the imports of the
    // error classes, the whole clip, the clock and the engine's `frames` call.
    // Their errors reach the consumer unchanged and nothing is interrupted.
    void setup() {
        Avatar& a = av();
        if (a.closed) raise_plain("Failed", "this avatar is closed");
        borrow_unavailable = from_import(py_import("orvane._borrow"), "BorrowUnavailable");
        nb::module_ session = py_import("orvane._session");
        engine_failed = from_import(session, "EngineFailed");
        engine_unavailable = from_import(session, "EngineUnavailable");
        clip = mod_get("_whole_clip")(audio);
        clock = mod_get("_RenderClock")();
        nb::object chunks = clock.attr("chunks")(mod_get("_chunks")(audio, clip));
        frames_src = a.engine.attr("frames")(chunks);
    }

    // An error escaped the render: map it onto the package's error classes.
    [[noreturn]] void raise_mapped(nb::python_error& err) {
        nb::handle v = err.value();
        if (!is_ordinary(v) || is_instance(v, mod_get("AvatarError"))) {
            err.restore();
            throw nb::python_error();
        }
        nb::object exc = nb::borrow(v);
        if (is_instance(exc, engine_unavailable))
            raise_refusal("NotSupported", exc.attr("args")[0], exc.attr("detail"), exc);
        if (is_instance(exc, engine_failed)) raise_refusal("Failed", exc.attr("args")[0], exc.attr("detail"), exc);
        if (is_instance(exc, borrow_unavailable))
            raise_refusal("Failed", exc.attr("args")[0], exc.attr("detail"), exc);
        raise_refusal("Failed", nb::str("the render stopped"), exc, exc);
    }

    // Leaving the frame stream before its end: interrupt the engine; an error of
    // interrupt() replaces the one in flight.
    void interrupt_into(std::optional<nb::python_error>& err) {
        if (done) return;
        try {
            av().engine.attr("interrupt")();
        } catch (nb::python_error& e) {
            err.emplace(std::move(e));
        }
    }

    [[noreturn]] void fail(nb::python_error& e) {
        finished = true;
        std::optional<nb::python_error> err;
        err.emplace(std::move(e));
        interrupt_into(err);
        drop();
        raise_mapped(*err);
    }

    void stream_ended() {
        done = true;
        Avatar& a = av();
        nb::object st = clock.attr("stats")();
        a.render_stats = st;
        if (!st.is_none())
            mod_get("_log").attr("info")(kStatsLine, st.attr("frames"), st.attr("render_seconds"),
                                         st.attr("render_fps"));
    }

    // Counts are the interpreter's integers: an engine rate far out of range gives
    // huge but exact numbers in the refusal rather than an overflow.
    void short_render_check() {
        Avatar& a = av();
        nb::object rate = attr_or(a.engine, "frames_per_second", nb::none());
        nb::object expected = mod_get("_expected_frames")(clip, rate);
        nb::int_ got(delivered);
        std::string id = py_str(a.engine_id);
        if (expected.is_none()) {
            if (delivered > 0) return;
        } else {
            // tolerance = max(2, int(expected * _SHORT_FRAC)); floor_ = expected - tolerance
            nb::object scaled = checked(PyNumber_Multiply(expected.ptr(), mod_get("_SHORT_FRAC").ptr()));
            nb::object tol = checked(PyNumber_Long(scaled.ptr()));
            if (py_compare(tol, nb::int_(2), Py_LT)) tol = nb::int_(2);
            nb::object floor_ = checked(PyNumber_Subtract(expected.ptr(), tol.ptr()));
            // The tolerance lets a short clip (one or two frames expected) come
            // out a little short, never empty: no frame at all is a failed render.
            if (delivered > 0 && !py_compare(got, floor_, Py_LT)) return;
            if (delivered > 0) {
                std::string stop = py_str(attr_or(a.engine, "stop_reason", nb::str("not recorded")));
                std::string d = py_str(got), e = py_str(expected);
                std::string msg = "that render stopped early — " + d + " frames came out of the " + e +
                                  " this audio should produce, so the video would be short. Render it again.";
                std::string detail = "engine=" + id + " delivered " + d + " frames, expected >= " +
                                     py_str(floor_) + " (audio implies " + e + " at " + py_str(rate) +
                                     " fps); the render ended on: " + stop;
                raise_refusal("Failed", nb::str(msg.c_str()), nb::str(detail.c_str()));
            }
        }
        raise_refusal("Failed",
                      nb::str("no frames came out of that render — check that the audio has speech in it, "
                              "then try again"),
                      nb::str(("engine=" + id + " delivered 0 frames").c_str()));
    }

    nb::object next() {
        if (finished) throw nb::stop_iteration();
        if (!started) {
            started = true;
            try {
                setup();
            } catch (...) {
                finished = true;
                drop();
                throw;
            }
        }
        try {
            if (!gen.is_valid() || gen.is_none()) gen = checked(PyObject_GetIter(frames_src.ptr()));
            nb::object frame = py_next(gen);
            if (frame.is_valid()) {
                delivered += 1;
                clock.attr("frame")();
                return frame;  // handed on unchanged
            }
            stream_ended();
            finished = true;
            short_render_check();
        } catch (nb::python_error& e) {
            fail(e);
        }
        drop();
        throw nb::stop_iteration();
    }

    // The consumer abandons the sequence: interrupt the engine if its stream did not
    // run to its end; nothing else happens (no statistics, no log line, no check).
    void close() {
        if (!started || finished) {
            finished = true;
            drop();
            return;
        }
        finished = true;
        std::optional<nb::python_error> err;
        interrupt_into(err);
        drop();
        if (err) raise_mapped(*err);
    }

    // Dropped by the consumer (or collected in a cycle) while suspended: abandon it
    // as close() would; an error of interrupt() has no caller left to reach.
    void abandon_quietly() {
        if (!started || finished || running || !avatar.is_valid() || avatar.is_none()) return;
        nb::error_scope keep;
        try {
            close();
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("abandoning a render");
        } catch (...) {
        }
    }
    ~RenderFrames() { abandon_quietly(); }
};

// Run by the collector before it clears a cycle that holds a suspended render.
static void render_frames_finalize(PyObject* self) {
    if (nb::inst_ready(self)) nb::inst_ptr<RenderFrames>(self)->abandon_quietly();
}

static PyType_Slot render_frames_slots[] = {{Py_tp_traverse, (void*)gc_traverse<RenderFrames>},
                                            {Py_tp_clear, (void*)gc_clear<RenderFrames>},
                                            {Py_tp_finalize, (void*)render_frames_finalize},
                                            {0, nullptr}};

void register_avatar(nb::module_& m) {
    bind_lazy<RenderFrames>(m, "_RenderFrames", "The lazy frame sequence of one render.", render_frames_slots);

    nb::class_<Avatar> cls(m, "Avatar", nb::type_slots(avatar_slots), "An open avatar.  Get one from :func:`orvane.open`.");
    cls.def(
           "__init__",
           [](Avatar* self, nb::object engine, nb::object engine_id) {
               Avatar* a = new (self) Avatar();
               a->engine = std::move(engine);
               a->engine_id = std::move(engine_id);
           },
           nb::arg("engine").none(), nb::arg("engine_id").none())
        .def_rw("_engine", &Avatar::engine, nb::arg().none())
        .def_rw("_engine_id", &Avatar::engine_id, nb::arg().none())
        .def_rw("_closed", &Avatar::closed)
        .def_rw("_render_stats", &Avatar::render_stats, nb::arg().none())
        .def(
            "render",
            [](nb::object self, nb::object audio, nb::object out_mp4) -> nb::object {
                if (out_mp4.is_none()) return self.attr("_render_frames")(audio);
                nb::object write = from_import(py_import("orvane.__main__"), "_write");
                return write(self, audio, nb::str(out_mp4));
            },
            nb::arg("audio").none(), nb::arg("out_mp4").none() = nb::none(),
            "Frames for `audio` (a lazy sequence), or, with `out_mp4`, the video writer's result.")
        .def(
            "_render_frames",
            [](nb::object self, nb::object audio) {
                RenderFrames r;
                r.avatar = std::move(self);
                r.audio = std::move(audio);
                return r;
            },
            nb::arg("audio").none())
        .def("__enter__", [](nb::object self) { return self; })
        .def(
            "__exit__",
            [](Avatar& a, nb::args) {
                a.release();
                return false;
            })
        .def("__del__",
             [](Avatar& a) {
                 try {
                     a.release();
                 } catch (nb::python_error& e) {
                     if (!e.matches(PyExc_Exception)) throw;
                 }
             })
        .def("_release", &Avatar::release);
    cls.attr("__slots__") = nb::make_tuple("_engine", "_engine_id", "_closed", "_render_stats");
}

}  // namespace op
