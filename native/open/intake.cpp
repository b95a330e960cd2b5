// Audio intake: the render's audio argument (bytes, arrays, file paths or iterables
// of those) becomes 16 kHz mono 16-bit PCM bytes, as one whole clip or one chunk per
// streamed item. Files are decoded by an `ffmpeg` child process, PyAV as fallback.
#include "open/intake.hpp"

#include <cstring>
#include <vector>

#include "open/open_glue.hpp"

namespace op {

static const char* kAudioTypeMsg =
    "audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, or an "
    "iterable of those; got ";
static const char* kReadFailed = "could not read that audio";

// The demuxers a file may be read with: plain single-file audio and audio/video
// containers (each listed by one of its ffmpeg names). Anything else that ffmpeg
// would probe its way into is refused: a playlist saved under an audio name
// would have the decoder fetch other files (or reload a live list for ever).
static const char* kFormats = "wav,mp3,flac,ogg,mov,mp4,m4a,matroska,webm,aac";
// Only the file named: nothing the container refers to is opened by URL.
static const char* kProtocols = "file";
// Bounds of one file's decode (module attributes, so a deployment can tighten
// them): its length in seconds of 16 kHz PCM (about 1 GB at the default), and
// the wall time the decoder may take before it is killed.
constexpr double kDecodeSeconds = 8 * 3600.0;
constexpr double kDecodeTimeout = 600.0;
constexpr int kBytesPerSecond = 32000;  // 16 kHz mono, 16-bit

static double decode_seconds() { return nb::cast<double>(nb::float_(mod_get("_DECODE_SECONDS"))); }
static double decode_timeout() { return nb::cast<double>(nb::float_(mod_get("_DECODE_TIMEOUT"))); }

// The number as ffmpeg reads a duration: plain decimal seconds.
static nb::str seconds_text(double s) { return nb::str(nb::repr(nb::float_(s))); }

static bool is_bytes_like(nb::handle obj) {
    return PyBytes_Check(obj.ptr()) || PyByteArray_Check(obj.ptr()) || PyMemoryView_Check(obj.ptr());
}

static bool is_path_like(nb::handle obj) {
    return PyUnicode_Check(obj.ptr()) || PyObject_HasAttrString((PyObject*)Py_TYPE(obj.ptr()), "__fspath__");
}

// Raise `type` with prefix + str(text), joined as Python strings: a path may hold
// a NUL or a lone surrogate (an undecodable file name), which no C string carries.
[[noreturn]] static void raise_with_text(PyObject* type, const char* prefix, nb::handle text) {
    nb::object msg = nb::steal(PyUnicode_Concat(nb::str(prefix).ptr(), nb::str(text).ptr()));
    if (!msg.is_valid()) throw nb::python_error();
    PyErr_SetObject(type, msg.ptr());
    throw nb::python_error();
}

[[noreturn]] static void raise_unsupported(nb::handle obj) {
    std::string tn = py_str(nb::handle((PyObject*)Py_TYPE(obj.ptr())).attr("__name__"));
    orvane::raise_type_error(std::string(kAudioTypeMsg) + tn);
}

// numpy, or an invalid object when it cannot be imported (any import error counts).
static nb::object numpy_or_none() {
    try {
        return py_import("numpy");
    } catch (nb::python_error&) {
        return nb::object();
    }
}

static nb::bytes pcm_of_array(nb::handle np, nb::handle arr) {
    nb::object dt = arr.attr("dtype");
    int kind = 0;
    if (py_compare(dt, np.attr("int16"), Py_EQ)) kind = 1;
    else if (py_compare(dt, np.attr("float32"), Py_EQ)) kind = 2;
    else if (py_compare(dt, np.attr("float64"), Py_EQ)) kind = 3;
    else
        orvane::raise_type_error("audio arrays must be int16, or float32/float64 in [-1, 1]; got " + py_str(dt));

    // Row-major order whatever the array's layout (no copy when already C-contiguous).
    nb::object c = np.attr("ascontiguousarray")(arr);
    ReadBuf in(c);
    size_t n = in.bytes() / (kind == 1 ? 2 : kind == 2 ? 4 : 8);
    char* out = nullptr;
    nb::bytes res = fresh_bytes(n * 2, &out);
    {
        nb::gil_scoped_release nogil;
        if (kind == 1)
            std::memcpy(out, in.data(), n * 2);
        else if (kind == 2)
            pcm_from_float(static_cast<const float*>(in.data()), n, reinterpret_cast<int16_t*>(out));
        else
            pcm_from_float(static_cast<const double*>(in.data()), n, reinterpret_cast<int16_t*>(out));
    }
    return res;
}

[[noreturn]] static void raise_too_long(double max_seconds) {
    nb::object why = nb::str("the audio is longer than {} s").attr("format")(nb::float_(max_seconds));
    raise_refusal("Failed", nb::str(kReadFailed), why);
}

[[noreturn]] static void raise_too_slow(double timeout, nb::handle cause = nb::handle()) {
    nb::object why = nb::str("the decoder took longer than {} s").attr("format")(nb::float_(timeout));
    raise_refusal("Failed", nb::str(kReadFailed), why, cause);
}

// The path as the decoders must be handed it. They read a name as "-"
// (standard input) or as "<protocol>:<rest>" ("take:1.wav") before they look
// for a file of that name; a path that starts with "/" or "./" is always a
// plain file, so a relative one goes over as "./<path>".
static nb::object decoder_path(nb::handle path) {
    if (truthy(py_import("os.path").attr("isabs")(path))) return nb::borrow(path);
    PyObject* dot = PyBytes_Check(path.ptr()) ? PyBytes_FromString("./") : PyUnicode_FromString("./");
    if (!dot) throw nb::python_error();
    nb::object prefix = nb::steal(dot);
    return checked(PyNumber_Add(prefix.ptr(), path.ptr()));
}

static nb::object pcm_of_file(nb::handle obj) {
    nb::object path = PyUnicode_Check(obj.ptr()) ? nb::borrow(obj) : py_import("os").attr("fspath")(obj);
    nb::object ospath = py_import("os.path");
    if (!truthy(ospath.attr("isfile")(path))) raise_with_text(PyExc_FileNotFoundError, "no audio at ", path);
    double max_seconds = decode_seconds(), timeout = decode_timeout();
    nb::list args;
    for (const char* a : {"ffmpeg", "-nostdin", "-loglevel", "error", "-format_whitelist", kFormats,
                          "-protocol_whitelist", kProtocols, "-i"})
        args.append(nb::str(a));
    args.append(decoder_path(path));
    nb::str rate = nb::str(mod_get("_SAMPLE_RATE"));
    args.append(nb::str("-ar"));
    args.append(rate);
    args.append(nb::str("-ac"));
    args.append(nb::str("1"));
    // The output stops a second past the longest audio taken, so what is held in
    // memory is bounded whatever the file claims; more than the bound is refused.
    args.append(nb::str("-t"));
    args.append(seconds_text(max_seconds + 1.0));
    for (const char* a : {"-f", "s16le", "-"}) args.append(nb::str(a));
    nb::object proc;
    nb::object subprocess = mod_get("subprocess");
    try {
        // Its standard input is the null device: it can never read or wait on ours.
        // Past the deadline the child is killed and reaped before the error comes back.
        proc = subprocess.attr("run")(args, nb::arg("capture_output") = true,
                                      nb::arg("stdin") = subprocess.attr("DEVNULL"), nb::arg("timeout") = timeout);
    } catch (nb::python_error& e) {
        if (e.matches(subprocess.attr("TimeoutExpired"))) raise_too_slow(timeout, e.value());
        if (!e.matches(PyExc_FileNotFoundError)) throw;  // only a missing ffmpeg falls back
        proc = nb::object();
    }
    if (!proc.is_valid()) return mod_get("_decode")(path);
    if (!py_compare(proc.attr("returncode"), nb::int_(0), Py_EQ)) {
        nb::object err = proc.attr("stderr").attr("decode")("utf-8", "replace");
        nb::object detail = checked(PySequence_GetSlice(err.ptr(), 0, 300));
        raise_refusal("Failed", nb::str(kReadFailed), detail);
    }
    nb::object out = proc.attr("stdout");
    Py_ssize_t n = PyObject_Length(out.ptr());
    if (n < 0) throw nb::python_error();
    if (static_cast<double>(n) > max_seconds * kBytesPerSecond) raise_too_long(max_seconds);
    return out;
}

static nb::object pcm(nb::handle obj) {
    if (is_bytes_like(obj)) return checked(PyBytes_FromObject(obj.ptr()));
    if (is_path_like(obj)) return pcm_of_file(obj);
    nb::object np = numpy_or_none();
    if (np.is_valid() && is_instance(obj, np.attr("ndarray"))) return pcm_of_array(np, obj);
    raise_unsupported(obj);
}

// Append the PCM of one resampled PyAV frame.
static void append_frame(std::vector<char>& buf, nb::handle frame) {
    nb::object arr = py_import("numpy").attr("ascontiguousarray")(frame.attr("to_ndarray")());
    ReadBuf b(arr);
    const char* p = static_cast<const char*>(b.data());
    buf.insert(buf.end(), p, p + b.bytes());
}

static bool is_ordinary(nb::python_error& e) { return e.matches(PyExc_Exception); }

static nb::bytes decode(nb::handle path) {
    nb::object av;
    try {
        av = py_import("av");
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;
        raise_refusal("Failed", nb::str(kReadFailed), e.value(), e.value());
    }
    std::vector<char> buf;
    try {
        nb::object resampler;
        // PyAV reads a bytes argument as a file object, not as a path
        nb::object name = py_import("os").attr("fsdecode")(decoder_path(path));
        // The same demuxers and protocol as the ffmpeg program is allowed.
        nb::dict options;
        options["format_whitelist"] = kFormats;
        options["protocol_whitelist"] = kProtocols;
        // Decoded in this thread, so bounded between frames: each frame is
        // resampled as it comes (only 16 kHz PCM is held, never the decoded
        // frames of the whole file), the PCM's length and the time taken.
        double max_bytes = decode_seconds() * kBytesPerSecond, timeout = decode_timeout();
        nb::object monotonic = py_import("time").attr("monotonic");
        double deadline = nb::cast<double>(monotonic()) + timeout;
        auto take = [&](nb::handle f) {
            nb::object out = resampler.attr("resample")(f);
            if (!truthy(out)) return;
            nb::object it = checked(PyObject_GetIter(out.ptr()));
            while (nb::object fr = py_next(it)) append_frame(buf, fr);
            if (static_cast<double>(buf.size()) > max_bytes) raise_too_long(decode_seconds());
        };
        nb::object container = av.attr("open")(name, nb::arg("container_options") = options);
        try {
            resampler = av.attr("AudioResampler")(nb::arg("format") = "s16", nb::arg("layout") = "mono",
                                                  nb::arg("rate") = 16000);
            nb::dict sel;
            sel["audio"] = 0;
            nb::object it = checked(PyObject_GetIter(
                checked(PyObject_Call(container.attr("decode").ptr(), nb::tuple().ptr(), sel.ptr())).ptr()));
            while (nb::object f = py_next(it)) {
                take(f);
                if (nb::cast<double>(monotonic()) > deadline) raise_too_slow(timeout);
            }
        } catch (...) {
            nb::error_scope keep;  // the error in flight wins over one from close()
            try {
                container.attr("close")();
            } catch (nb::python_error&) {
            }
            throw;
        }
        container.attr("close")();
        take(nb::none());  // the resampler's flush
        if (buf.empty()) orvane::raise_value_error("no audio in that file");
    } catch (nb::python_error& e) {
        if (!is_ordinary(e) || is_instance(e.value(), mod_get("AvatarError"))) throw;
        raise_refusal("Failed", nb::str(kReadFailed), e.value(), e.value());
    }
    return nb::bytes(buf.data(), buf.size());
}

static nb::object whole_clip(nb::handle audio) {
    if (is_bytes_like(audio) || is_path_like(audio)) return mod_get("_pcm")(audio);
    try {
        nb::object np = py_import("numpy");
        if (is_instance(audio, np.attr("ndarray"))) return mod_get("_pcm")(audio);
    } catch (nb::python_error& e) {
        if (!is_ordinary(e)) throw;  // discarded: the array is then streamed item by item
    }
    PyObject* it = PyObject_GetIter(audio.ptr());
    if (it) {
        Py_DECREF(it);
        return nb::none();
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
    PyErr_Clear();
    return mod_get("_pcm")(audio);
}

// `_chunks(audio, clip)`: the lazy chunk sequence; nothing runs until the first request.
struct ChunkStream {
    nb::object audio, clip, it;
    int state = 0;  // 0 fresh, 1 streaming items, 2 ended
    bool running = false;

    template <class F>
    void each(F f) {
        for (nb::object* o : {&audio, &clip, &it}) f(*o);
    }

    nb::object next() {
        if (state == 2) throw nb::stop_iteration();
        try {
            if (state == 0) {
                if (clip.is_none()) clip = mod_get("_whole_clip")(audio);
                if (!clip.is_none()) {
                    state = 2;
                    nb::object c = clip;
                    clip = nb::none();
                    audio = nb::none();
                    return c;
                }
                it = checked(PyObject_GetIter(audio.ptr()));
                state = 1;
            }
            nb::object item = py_next(it);
            if (!item.is_valid()) {
                state = 2;
                it = nb::none();
                throw nb::stop_iteration();
            }
            return mod_get("_pcm")(item);
        } catch (nb::python_error&) {
            close();
            throw;
        }
    }

    void close() {
        state = 2;
        it = nb::none();
    }
};

static nb::object expected_frames(nb::handle clip, nb::handle fps) {
    if (clip.is_none() || fps.is_none() || py_compare(fps, nb::int_(0), Py_EQ)) return nb::none();
    nb::module_ session = py_import("orvane._session");
    nb::object bpf = from_import(session, "BYTES_PER_FRAME"), fps_ = from_import(session, "FPS");
    nb::object per_second = checked(PyNumber_Multiply(bpf.ptr(), fps_.ptr()));
    nb::object n_bytes = nb::int_(PyObject_Length(clip.ptr()));
    if (PyErr_Occurred()) throw nb::python_error();
    nb::object seconds = checked(PyNumber_TrueDivide(n_bytes.ptr(), per_second.ptr()));
    nb::object n = checked(PyNumber_Long(checked(PyNumber_Multiply(seconds.ptr(), fps.ptr())).ptr()));
    if (py_compare(n, nb::int_(1), Py_GE)) return n;
    return nb::none();
}

void register_intake(nb::module_& m) {
    m.attr("_DECODE_SECONDS") = kDecodeSeconds;
    m.attr("_DECODE_TIMEOUT") = kDecodeTimeout;
    m.def("_decode", &decode, nb::arg("path").none(), "PCM bytes of an audio file, decoded and resampled by PyAV.");
    m.def("_pcm", &pcm, nb::arg("obj").none(), "One audio item as 16 kHz mono 16-bit PCM bytes.");
    m.def("_whole_clip", &whole_clip, nb::arg("audio").none(),
          "PCM bytes of a whole clip (bytes, array or file), or None for a streamed input.");
    bind_lazy<ChunkStream>(m, "_ChunkStream");
    m.def(
        "_chunks",
        [](nb::object audio, nb::object clip) {
            ChunkStream s;
            s.audio = std::move(audio);
            s.clip = std::move(clip);
            s.it = nb::none();
            return s;
        },
        nb::arg("audio").none(), nb::arg("clip").none() = nb::none(), "Lazy sequence of the audio's PCM chunks.");
    m.def("_expected_frames", &expected_frames, nb::arg("clip").none(), nb::arg("fps").none(),
          "Frames a whole clip should produce at `fps`, or None.");
}

}  // namespace op
