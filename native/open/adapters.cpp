// The offline layer's own engine adapters: `_SessionEngine` (session engine kinds)
// and `_FixtureEngine` ("ferrin1" on the native frame runtime). Both offer the engine
// protocol: frames(chunks), interrupt(), close().
#include "open/adapters.hpp"

#include "open/open_glue.hpp"

namespace op {

static bool ordinary(nb::python_error& e) { return e.matches(PyExc_Exception); }

// `frame, kind = got` with the interpreter's own unpacking (and its error texts).
static nb::object unpack2(nb::handle got) {
    if ((PyTuple_CheckExact(got.ptr()) || PyList_CheckExact(got.ptr())) && PySequence_Size(got.ptr()) == 2)
        return nb::borrow(got);
    static PyObject* helper = nullptr;  // kept for the life of the process
    if (!helper) {
        nb::dict ns;
        ns["__builtins__"] = py_import("builtins");
        checked(PyRun_String("def _unpack2(got):\n    frame, kind = got\n    return frame, kind\n",
                             Py_file_input, ns.ptr(), ns.ptr()));
        helper = nb::object(ns["_unpack2"]).release().ptr();
    }
    return nb::borrow(helper)(got);
}

// ---------------------------------------------------------------- session engine

struct SessionEngine {
    nb::object session_mod, fps, s;
    nb::object stop_reason;  // invalid until the first render starts

    template <class F>
    void each(F f) {
        for (nb::object* o : {&session_mod, &fps, &s, &stop_reason}) f(*o);
    }
};

struct SessionFrames {
    nb::object owner;  // the _SessionEngine, kept alive
    nb::object chunks, it, s, borrow, speech, idle;
    int state = 0;  // 0 fresh, 1 feeding, 2 draining, 3 ended
    bool speaking = false, need_chunk = true, running = false;
    double deadline = 0;

    template <class F>
    void each(F f) {
        for (nb::object* o : {&owner, &chunks, &it, &s, &borrow, &speech, &idle}) f(*o);
    }

    SessionEngine& eng() { return nb::cast<SessionEngine&>(owner); }
    static double now() { return nb::cast<double>(time_call("monotonic")); }

    nb::object end_with(const nb::object& reason) {
        eng().stop_reason = reason;
        state = 3;
        throw nb::stop_iteration();
    }

    double quiet() { return nb::cast<double>(mod_get("_QUIET")); }

    void borrow_check() {
        if (!borrow.is_none()) borrow.attr("check")();
    }

    nb::object step() {
        if (state == 0) {
            SessionEngine& e = eng();
            s = e.s;
            borrow = s.attr("borrow");
            s.attr("reset")();
            e.stop_reason = nb::str("unfinished");
            speaking = false;
            speech = e.session_mod.attr("LE_UTT_SPEECH");
            idle = e.session_mod.attr("LE_UTT_IDLE");
            it = checked(PyObject_GetIter(chunks.ptr()));
            state = 1;
        }
        while (state == 1) {
            if (need_chunk) {
                nb::object chunk = py_next(it);
                if (!chunk.is_valid()) {
                    s.attr("end")();
                    deadline = now() + quiet();
                    state = 2;
                    break;
                }
                s.attr("push")(chunk);
                need_chunk = false;
            }
            nb::object got = s.attr("pull")();
            if (got.is_none()) {
                s.attr("check_render")();
                need_chunk = true;
                continue;
            }
            nb::object pair = unpack2(got);
            nb::object frame = pair[0], kind = pair[1];
            if (!speaking) {
                if (!py_compare(kind, speech, Py_EQ)) continue;  // nothing before the first speech frame
                speaking = true;
            }
            borrow_check();
            return frame;
        }
        for (;;) {  // draining
            nb::object got = s.attr("pull")();
            if (got.is_none()) {
                if (now() > deadline) {
                    s.attr("check_render")();
                    nb::object q = py_import("builtins").attr("format")(mod_get("_QUIET"), ".0f");
                    end_with(nb::str(("quiet-deadline (" + py_str(q) + "s with no frame)").c_str()));
                }
                time_sleep();
                continue;
            }
            nb::object pair = unpack2(got);
            nb::object frame = pair[0], kind = pair[1];
            if (speaking) {
                if (py_compare(kind, idle, Py_EQ)) end_with(nb::str("idle-frame (avatar returned to rest)"));
            } else if (!py_compare(kind, speech, Py_EQ)) {
                if (now() > deadline) {
                    s.attr("check_render")();
                    end_with(nb::str("no-speech-in-utterance"));
                }
                continue;  // dropped frames do not move the deadline
            } else {
                speaking = true;
            }
            // Set before the hand-over: time the consumer spends on this frame counts.
            deadline = now() + quiet();
            borrow_check();
            return frame;
        }
    }

    static void time_sleep() { mod_get("time").attr("sleep")(0.005); }

    nb::object next() {
        if (state == 3) throw nb::stop_iteration();
        try {
            return step();
        } catch (...) {
            state = 3;
            throw;
        }
    }

    void close() { state = 3; }  // stop_reason stays "unfinished"
};

// Both adapters build everything first and construct the instance last: an error
// half-way leaves no half-built object holding a session, fixture or runtime.
static void session_init(SessionEngine* self, nb::object source) {
    nb::module_ session = py_import("orvane._session");
    nb::object borrow_unavailable = from_import(py_import("orvane._borrow"), "BorrowUnavailable");
    nb::object fps = session.attr("FPS");
    nb::object bundle = mod_get("_materialise")(source);
    nb::object path = py_import("os.path").attr("join")(bundle, "manifest.json");
    nb::object man;
    {
        nb::object f = py_import("builtins").attr("open")(path, nb::arg("encoding") = "utf-8");
        try {
            man = py_import("json").attr("load")(f);
        } catch (...) {
            nb::error_scope keep;
            try {
                f.attr("close")();
            } catch (nb::python_error&) {
            }
            throw;
        }
        f.attr("close")();
    }
    nb::object s;
    try {
        s = session.attr("Session")(bundle, man);
    } catch (nb::python_error& err) {
        if (!err.matches(borrow_unavailable)) throw;
        nb::object exc = nb::borrow(err.value());
        nb::object kind = attr_or(exc, "kind", nb::str(""));
        const char* cls = py_compare(kind, nb::str("install"), Py_EQ) ? "NotSupported" : "InvalidAvatar";
        raise_refusal(cls, exc.attr("args")[0], exc.attr("detail"), exc);
    }
    SessionEngine* e = new (self) SessionEngine();
    e->session_mod = std::move(session);
    e->fps = std::move(fps);
    e->s = std::move(s);
}

// ---------------------------------------------------------------- fixture engine

struct FixtureEngine {
    nb::object fx = nb::none(), rt = nb::none();

    template <class F>
    void each(F f) {
        f(fx);
        f(rt);
    }
};

static nb::object samples_of(nb::handle chunk) {
    PyObject* b = chunk.ptr();
    if (!PyBytes_Check(b) || PyBytes_GET_SIZE(b) % 2 != 0) {
        // numpy's own conversion (and its error for an odd byte count or a non-buffer)
        nb::object np = py_import("numpy");
        nb::object a = np.attr("frombuffer")(chunk, np.attr("int16")).attr("astype")(np.attr("float32"));
        return checked(PyNumber_TrueDivide(a.ptr(), nb::float_(32768.0).ptr()));
    }
    // bytes are immutable: safe to read without the GIL
    const int16_t* in = reinterpret_cast<const int16_t*>(PyBytes_AS_STRING(b));
    size_t n = static_cast<size_t>(PyBytes_GET_SIZE(b)) / 2;
    void* out = nullptr;
    nb::object arr = fresh_array(nb::make_tuple(n), "float32", &out);
    {
        nb::gil_scoped_release nogil;
        pcm16_to_f32(in, n, static_cast<float*>(out));
    }
    return arr;
}

// A C-contiguous copy of the runtime's BGR image with its channel axis reversed.
static nb::object rgb_of(nb::handle img) {
    nb::object np = py_import("numpy");
    bool fast = is_instance(img, np.attr("ndarray")) &&
                py_compare(img.attr("dtype"), np.attr("uint8"), Py_EQ) && nb::cast<int>(img.attr("ndim")) >= 1;
    if (!fast) {
        nb::object rev = checked(PySlice_New(nullptr, nullptr, nb::int_(-1).ptr()));
        nb::object idx = nb::make_tuple(nb::ellipsis(), rev);
        return np.attr("ascontiguousarray")(img[idx]);
    }
    nb::object c = np.attr("ascontiguousarray")(img);
    nb::object shape = c.attr("shape");
    size_t ch = nb::cast<size_t>(shape[nb::len(shape) - 1]);
    ReadBuf in(c);
    void* out = nullptr;
    nb::object arr = fresh_array(shape, "uint8", &out);
    size_t pixels = ch ? in.bytes() / ch : 0;
    {
        nb::gil_scoped_release nogil;
        reverse_channels(static_cast<const uint8_t*>(in.data()), pixels, ch, static_cast<uint8_t*>(out));
    }
    return arr;
}

struct FixtureFrames {
    nb::object owner;  // the _FixtureEngine, kept alive
    nb::object chunks, it, rt;
    int state = 0;  // 0 fresh, 1 running, 2 ended
    bool running = false;
    bool pushed = false;  // a chunk was pushed and its finished ticks are being handed out
    bool fresh = false;   // the stream was cleared for this render

    template <class F>
    void each(F f) {
        for (nb::object* o : {&owner, &chunks, &it, &rt}) f(*o);
    }

    nb::object step() {
        if (state == 0) {
            rt = nb::cast<FixtureEngine&>(owner).rt;
            it = checked(PyObject_GetIter(chunks.ptr()));
            state = 1;
        }
        nb::int_ zero(0);
        for (;;) {
            // Ticks are counted only after a push, and again at each request.
            if (pushed) {
                if (py_compare(rt.attr("ticks_available")(), zero, Py_GT)) {
                    nb::object out = rt.attr("pull_frame")();
                    nb::object img = PyTuple_Check(out.ptr()) ? nb::object(out[1]) : out;
                    return rgb_of(img);
                }
                pushed = false;
            }
            nb::object chunk = py_next(it);
            if (!chunk.is_valid()) {
                state = 2;  // nothing flushed: audio short of a tick stays in the stream
                throw nb::stop_iteration();
            }
            Py_ssize_t len = PyObject_Length(chunk.ptr());
            if (len < 0) throw nb::python_error();
            if (len == 0) continue;
            if (!fresh) {
                // Samples short of a tick left by an earlier render would shift
                // every tick of this one: each render starts from a clean stream.
                rt.attr("reset_stream")();
                fresh = true;
            }
            rt.attr("push_audio")(samples_of(chunk));
            pushed = true;
        }
    }

    nb::object next() {
        if (state == 2) throw nb::stop_iteration();
        try {
            return step();
        } catch (...) {
            state = 2;
            throw;
        }
    }

    void close() { state = 2; }
};

static void fixture_init(FixtureEngine* self, nb::object source) {
    nb::module_ core = py_import("orvane._core");
    nb::object mixin = from_import(py_import("orvane._loader"), "NativeFixtureLoaderMixin");
    nb::module_ threads_mod = py_import("orvane._threads");
    nb::object ferrin1 = from_import(threads_mod, "FERRIN1");
    nb::object default_threads = from_import(threads_mod, "default_threads");
    mixin.attr("_register_default_audio_encoder")();
    nb::object threads = default_threads(ferrin1);
    nb::object fx;
    try {
        fx = core.attr("Fixture")(source, nb::arg("preferred_ep") = core.attr("EP_AUTO"),
                                  nb::arg("intra_op_threads") = threads);
    } catch (nb::python_error& err) {
        if (!ordinary(err)) throw;
        raise_refusal("InvalidAvatar", nb::str("that is not a usable avatar"), err.value(), err.value());
    }
    nb::object rt = core.attr("Runtime")(fx);
    FixtureEngine* e = new (self) FixtureEngine();
    e->fx = std::move(fx);
    e->rt = std::move(rt);
}

// `frames(chunks)` of an adapter: the lazy sequence T over it; nothing runs yet.
template <class T>
static T frames_of(nb::object self, nb::object chunks) {
    T f;
    f.owner = std::move(self);
    f.chunks = std::move(chunks);
    return f;
}

// `interrupt()`: ordinary errors are swallowed so it is safe in the render loop's
// clean-up; an interrupt signal or an exit request still propagates.
static void call_quietly(nb::handle target, const char* method) {
    try {
        target.attr(method)();
    } catch (nb::python_error& err) {
        if (!ordinary(err)) throw;
    }
}

void register_adapters(nb::module_& m) {
    bind_lazy<SessionFrames>(m, "_SessionFrames");

    nb::class_<SessionEngine>(m, "_SessionEngine", nb::type_slots(gc_slots<SessionEngine>()),
                              "Engine adapter for the session engine kinds.")
        .def("__init__", &session_init, nb::arg("source").none())
        .def_rw("_session_mod", &SessionEngine::session_mod, nb::arg().none())
        .def_rw("frames_per_second", &SessionEngine::fps, nb::arg().none())
        .def_rw("_s", &SessionEngine::s, nb::arg().none())
        .def_prop_rw(
            "stop_reason",
            [](SessionEngine& e) -> nb::object {
                if (!e.stop_reason.is_valid()) {
                    PyErr_SetString(PyExc_AttributeError, "stop_reason");  // not set before the first render
                    throw nb::python_error();
                }
                return e.stop_reason;
            },
            [](SessionEngine& e, nb::object v) { e.stop_reason = std::move(v); }, nb::arg().none())
        .def("frames", &frames_of<SessionFrames>, nb::arg("chunks").none())
        .def("interrupt", [](SessionEngine& e) { call_quietly(e.s, "reset"); })
        .def("close", [](SessionEngine& e) { e.s.attr("close")(); });

    bind_lazy<FixtureFrames>(m, "_FixtureFrames");

    nb::class_<FixtureEngine>(m, "_FixtureEngine", nb::type_slots(gc_slots<FixtureEngine>()),
                              "Engine adapter for \"ferrin1\" avatars on the native frame runtime.")
        .def("__init__", &fixture_init, nb::arg("source").none())
        .def_rw("_fx", &FixtureEngine::fx, nb::arg().none())
        .def_rw("_rt", &FixtureEngine::rt, nb::arg().none())
        .def("frames", &frames_of<FixtureFrames>, nb::arg("chunks").none())
        .def("interrupt", [](FixtureEngine& e) { call_quietly(e.rt, "reset_stream"); })
        .def("close", [](FixtureEngine& e) {
            e.rt = nb::none();
            e.fx = nb::none();
        });
}

}  // namespace op
