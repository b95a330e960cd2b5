// Start-up of the render-stream host, between the command line and the serve
// loop. Every sibling (the bundle services, the chain, the renderer, the serve
// loop) is looked up on the module at call time, so a test or a caller that
// rebinds one of them is honoured.
#include "lumeth2/startup.hpp"

#include <csignal>
#include <cstring>
#include <string>
#include <vector>

#include "lumeth2/bundle.hpp"
#include "lumeth2/chain.hpp"
#include "lumeth2/constants.hpp"
#include "lumeth2/q8gd.hpp"
#include "lumeth2/staging.hpp"
#include "lumeth2/startup_py.hpp"
#include "lumeth2/stdio.hpp"

namespace l2 {

using namespace nb::literals;

namespace {

constexpr const char* USAGE =
    "usage: render_stream_chain_host render-stream <bundle> [--engine <dir|.engine>] [--threads N]";
constexpr const char* EM_DASH = "\xe2\x80\x94";
constexpr const char* ELLIPSIS = "\xe2\x80\xa6";
constexpr int64_t CANON_FLOATS = LC * PLANE;  // 74880
constexpr int BUNDLE_FAULT = 3;

std::string txt(nb::handle h) { return sp::text(h); }
std::string rep(nb::handle h) { return sp::repr_text(h); }

std::string py_type_name(nb::handle x) { return txt(nb::handle((PyObject*)Py_TYPE(x.ptr())).attr("__name__")); }

// Python's tuple-unpacking rules for `a, b, c = value`.
std::vector<nb::object> unpack(nb::handle value, size_t n) {
    PyObject* it = PyObject_GetIter(value.ptr());
    if (!it) {
        PyErr_Clear();
        orvane::raise_type_error("cannot unpack non-iterable " +
                                 py_type_name(value) +
                                 " object");
    }
    nb::object iter = nb::steal(it);
    std::vector<nb::object> out;
    for (;;) {
        PyObject* x = PyIter_Next(iter.ptr());
        if (!x) {
            if (PyErr_Occurred()) throw nb::python_error();
            break;
        }
        if (out.size() == n) {
            Py_DECREF(x);
            orvane::raise_value_error("too many values to unpack (expected " + std::to_string(n) + ")");
        }
        out.push_back(nb::steal(x));
    }
    if (out.size() < n)
        orvane::raise_value_error("not enough values to unpack (expected " + std::to_string(n) + ", got " +
                                  std::to_string(out.size()) + ")");
    return out;
}

[[noreturn]] void refuse(const std::string& line) {
    sp::elog(line);
    sp::exit_request(BUNDLE_FAULT);
}

// Owned, writable float32 copy of a canon member: a plain numpy array that owns
// its memory, not a view on the member's bytes.
nb::object canon_array(const char* data, size_t nfloats) {
    nb::object arr = orvane::py_import("numpy").attr("empty")(nfloats, "dtype"_a = "float32");
    Py_buffer out;
    if (PyObject_GetBuffer(arr.ptr(), &out, PyBUF_WRITABLE) != 0) throw nb::python_error();
    std::memcpy(out.buf, data, nfloats * sizeof(float));
    PyBuffer_Release(&out);
    return arr;
}

// Upper bound on the bytes read for the canonical latent (far above its 299,520).
constexpr size_t CANON_READ_CAP = size_t(16) << 20;

nb::object read_canon(nb::handle bundle) {
    // The canon has a known size, so a member that claims far more (a zip that
    // inflates to gigabytes) is never read whole: past CANON_READ_CAP bytes the
    // count is reported as "more than" the cap.
    nb::object got = mod_get("_member_bytes")(bundle, sp::names_of({"canon.bin", "canon.f32"}),
                                              nb::arg("max_size") = CANON_READ_CAP);
    nb::object data = sp::item(got, 1);
    if (data.is_none())
        refuse("FATAL: no canon.bin in " + txt(bundle) + " (per-identity canon latent required)");
    Py_buffer view;
    if (PyObject_GetBuffer(data.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    size_t nbytes = (size_t)view.len;
    std::string count;
    if (nbytes > CANON_READ_CAP) {
        count = "more than " + std::to_string(CANON_READ_CAP / sizeof(float));
    } else if (nbytes % sizeof(float) == 0) {
        count = std::to_string(nbytes / sizeof(float));
    } else {
        // not a whole number of floats: a bad canon like any other, shown as the
        // fractional count it is
        count = rep(nb::float_((double)nbytes / 4.0));
    }
    if (nbytes % sizeof(float) != 0 || (int64_t)(nbytes / sizeof(float)) != CANON_FLOATS) {
        PyBuffer_Release(&view);
        refuse("FATAL: canon.bin has " + count + " floats, expected " + std::to_string(CANON_FLOATS));
    }
    nb::object arr;
    try {
        arr = canon_array(static_cast<const char*>(view.buf), (size_t)CANON_FLOATS);
    } catch (...) {
        PyBuffer_Release(&view);
        throw;
    }
    PyBuffer_Release(&view);
    return arr;
}

nb::tuple load_two_artifact(nb::handle bundle, nb::handle engine, nb::handle id_bytes, nb::handle canon) {
    const std::string b = txt(bundle);
    nb::object sed = mod_get("_SED");
    if (sed.is_none())
        refuse("FATAL: " + b +
               " is a two-artifact split, but this engine has no shared_enc_dep (the base-verification policy) " +
               EM_DASH + " searched the repo tools/ dir and this host's own directory (" + txt(mod_get("_SED_WHY")) +
               "). Without it the base pairing cannot be verified, and an unverified pairing renders a different "
               "face with no error. Vendor tools/shared_enc_dep beside this host in the engine artifact. (The "
               "combined-member path does not need it and is unaffected.)");
    nb::object base = mod_get("_declared_base_sha")(bundle);
    bool own = !sp::item(mod_get("_member_ref")(bundle, sp::names_of({"shared-enc.tflite"})), 1).is_none();
    if (!own && base.is_none())
        refuse("FATAL: " + b +
               " carries identity.tflite (the two-artifact split's DELTA half) and declares no " +
               rep(sed.attr("SHARED_ENC_ID")) +
               " base in its manifest dependencies[], and carries no shared-enc.tflite of its own. There is no way "
               "to tell which shared-enc.tflite it was cut against, and the wrong one renders a DIFFERENT FACE with "
               "no error (measured 2026-09-01: 181 of 181 frames wrong, silently). Re-emit the container with "
               "tools/qvx_from_bundle, which stamps the base content address.");
    std::vector<nb::object> res = unpack(mod_get("_resolve_shared_enc")(bundle, engine, base), 2);
    nb::object enc = res[0];
    std::string why = txt(res[1]);
    if (enc.is_none()) {
        if (sp::truthy(base)) {
            const std::string d = txt(base);
            refuse("FATAL: " + b + " was cut against shared-enc.tflite sha256=" + d +
                   " and that base is NOT on this machine. Resolution: " + why +
                   ". Put it in the content store (${ORVANE_DEPS_DIR} or ~/.orvane/deps, as <store>/" + d +
                   " or <store>/" + sp::str_head(base, 2) + "/" + d +
                   "), or pass --engine <dir|.engine> holding exactly that base. A base with the right NAME and the "
                   "wrong CONTENT is refused here on purpose.");
        }
        refuse("FATAL: " + b +
               " carries identity.tflite (two-artifact split) but no engine shared-enc.tflite was found. Provide it "
               "via --engine <dir|.engine>, LUMETH2_SHARED_ENC=<file>, or install the linux engine (`orvane engine "
               "install linux`) into ~/.orvane/engines/.");
    }
    nb::object id_path = mod_get("_stage_tflite")(bundle, "identity.tflite", id_bytes);
    if (sp::truthy(base)) {
        std::string head = "two-artifact split: base sha256=" + sp::str_head(base, 12) + ELLIPSIS;
        if (why.rfind("name-trusted", 0) == 0)
            sp::elog(head + " resolved by CONTENT ADDRESS (name-trusted, NOT re-hashed, per dependency_resolver) via " +
                     why);
        else
            sp::elog(head + " VERIFIED (bytes hashed) via " + why);
    } else {
        sp::elog("two-artifact split: base UNVERIFIED (artifact declares no " + rep(sed.attr("SHARED_ENC_ID")) +
                 " dependency; using the bundle's own copy) " + EM_DASH + " re-emit with tools/qvx_from_bundle to bind it");
    }
    sp::elog("two-artifact split: enc=" + txt(enc) + " + id=" + txt(id_path));
    nb::list paths;
    paths.append(enc);
    paths.append(id_path);
    return nb::make_tuple(paths, "shared-enc.tflite+identity.tflite", canon);
}

nb::tuple load_bundle_members(nb::handle bundle, nb::handle engine);

// An error as one line of the log: its type and text, line breaks as spaces.
std::string one_line(nb::handle exc) {
    std::string why = py_type_name(exc) + ": " + txt(exc);
    for (char& c : why)
        if (c == '\n' || c == '\r') c = ' ';
    return why;
}

// An error met while reading the bundle ends start-up as a bundle fault: a
// refused member (too large, a bomb, more data than its entry declares) with
// its own text, any other error of a damaged or unreadable bundle (a cut or
// corrupted archive, a bad CRC, an unknown compression, an undecodable name)
// with its type and text. Errors of the staged side (a full disk), memory
// exhaustion and exit requests are not the bundle's and propagate.
void refuse_if_damaged(nb::handle bundle, nb::python_error& e) {
    if (e.matches(mod_get("_MemberRefused"))) refuse("FATAL: " + txt(e.value()));
    if (!e.matches(PyExc_Exception) || e.matches(PyExc_MemoryError) || is_staging_error(e.value())) return;
    refuse("FATAL: " + txt(bundle) + " cannot be read as a bundle (" + one_line(e.value()) + ")");
}

}  // namespace

nb::tuple load_bundle(nb::handle bundle, nb::handle engine) {
    try {
        return load_bundle_members(bundle, engine);
    } catch (nb::python_error& e) {
        refuse_if_damaged(bundle, e);
        throw;
    }
}

namespace {

// Model members are located here and copied to their staged files in blocks by
// `_stage_tflite`: never read whole into memory.
nb::tuple load_bundle_members(nb::handle bundle, nb::handle engine) {
    nb::object canon = read_canon(bundle);
    nb::object member_ref = mod_get("_member_ref");

    nb::object combined = sp::item(member_ref(bundle, sp::names_of({COMBINED_MEMBER})), 1);
    if (!combined.is_none()) {
        std::vector<nb::object> sel = unpack(mod_get("_select_q8gd")(bundle), 2);
        if (sp::truthy(sel[1])) sp::elog(txt(sel[1]));
        nb::list paths;
        if (!sel[0].is_none()) {
            paths.append(sel[0]);
            return nb::make_tuple(paths, sp::os_path().attr("basename")(sel[0]), canon);
        }
        paths.append(mod_get("_stage_tflite")(bundle, COMBINED_MEMBER, combined));
        return nb::make_tuple(paths, COMBINED_MEMBER, canon);
    }

    nb::object id_member = sp::item(member_ref(bundle, sp::names_of({"identity.tflite"})), 1);
    if (!id_member.is_none()) return load_two_artifact(bundle, engine, id_member, canon);

    nb::list others;
    for (nb::handle name : mod_get("_listing")(bundle)) {
        std::string n = txt(name);
        if (n.size() >= 7 && n.compare(n.size() - 7, 7, ".tflite") == 0 && n != COMBINED_MEMBER &&
            n != "identity.tflite" && n != "shared-enc.tflite")
            others.append(name);
    }
    const std::string b = txt(bundle);
    if (nb::len(others) > 0) {
        nb::object sorted_names = sp::builtins().attr("sorted")(others);
        refuse("FATAL: " + b + " carries UNEXPECTED tflite member(s) " + rep(sorted_names) +
               " and none of the contract renderers. lumeth-2 names exactly two renderer shapes: " + COMBINED_MEMBER +
               ", OR identity.tflite + an engine shared-enc.tflite. Other .tflite names are not loaded: re-pack the "
               "member under its contract name.");
    }
    refuse("FATAL: no LiteRT tflite member in " + b + " (expected " + COMBINED_MEMBER +
           ", OR identity.tflite + an engine shared-enc.tflite; convert-on-first-run from onnx/ckpt is not wired in "
           "v1)");
}

}  // namespace

nb::tuple load_color_correct(nb::handle bundle) {
    const std::string prefix = txt(mod_get("COLOR_LOG_PREFIX"));
    if (!sp::truthy(mod_get("_color_enabled")()))
        return sp::with_text(nb::none(),
                             prefix + " DISABLED by " + txt(mod_get("COLOR_ENV")) + "=0 " + EM_DASH +
                                  " the frames are the RAW model output and will NOT match a live session's "
                                  "colours. This switch exists to isolate the renderer for measurement; it is not "
                                  "a serving mode.");
    nb::object member = mod_get("COLOR_MEMBER");
    nb::list names;
    names.append(member);
    nb::object raw =
        sp::item(mod_get("_member_bytes")(bundle, names, "max_size"_a = JSON_MEMBER_CAP), 1);
    nb::str source = sp::py_text(txt(bundle) + "!" + txt(member));
    std::vector<nb::object> parsed;
    if (!raw.is_none() && (uint64_t)nb::len(raw) > JSON_MEMBER_CAP) {
        // Only the head of an oversized member was read: refused as unparsable.
        parsed = {nb::none(), sp::py_text(txt(member) + " is present but is not parsable json (larger than " +
                                          std::to_string(JSON_MEMBER_CAP) + " bytes) " + EM_DASH +
                                          " refusing to invent an identity LUT")};
    } else {
        parsed = unpack(mod_get("parse_color_correct")(raw, "source"_a = source), 2);
    }
    if (parsed[0].is_none())
        return sp::with_text(nb::none(),
                             prefix + " NOT APPLIED " + EM_DASH + " " + txt(parsed[1]) +
                                  ". The frames are the raw model output. A container carries the correction only "
                                  "if its producer packed one, so this says nothing about whether the identity HAS "
                                  "one; it is not an error and the render proceeds.");
    return sp::with_text(parsed[0], prefix + " APPLIED " + EM_DASH + " " + txt(parsed[0].attr("describe")()));
}

nb::object run(nb::handle bundle, nb::handle engine, nb::handle threads_in) {
    nb::object threads = nb::borrow(threads_in);
    sp::elog("warming up identity=" + txt(bundle) + " threads=" + txt(threads) + " ...");
    std::vector<nb::object> loaded = unpack(mod_get("load_bundle")(bundle, engine), 3);
    nb::object color_read;
    try {
        color_read = mod_get("load_color_correct")(bundle);
    } catch (nb::python_error& e) {
        refuse_if_damaged(bundle, e);
        throw;
    }
    std::vector<nb::object> color = unpack(color_read, 2);
    sp::elog(txt(color[1]));
    nb::object paths = loaded[0];
    Py_ssize_t n_models = (Py_ssize_t)nb::len(paths);
    if (n_models >= 2) {
        nb::object capped = mod_get("default_threads")(nb::int_(n_models), threads);
        if (!sp::py_eq(capped, threads)) {
            sp::elog("2-interpreter split: threads " + txt(threads) + " -> " + txt(capped) + " (<= cores/2)");
            threads = capped;
        }
    }
    // Any positive count is a valid request, but an interpreter takes a C int and
    // makes one thread per count: past MAX_INTERPRETER_THREADS (far more cores
    // than any machine this serves) it is given that many.
    nb::object most = nb::int_(MAX_INTERPRETER_THREADS);
    int over = PyObject_RichCompareBool(threads.ptr(), most.ptr(), Py_GT);
    if (over < 0) throw nb::python_error();
    if (over) {
        sp::elog("threads " + txt(threads) + " -> " + std::to_string(MAX_INTERPRETER_THREADS) +
                 " (the most one interpreter is given)");
        threads = most;
    }
    nb::object chain;
    try {
        chain = mod_get("LitertChain")(paths, loaded[2], threads);
    } catch (nb::python_error& e) {
        // A model member the runtime cannot load (a container without checksums
        // carries a cut or corrupted one as it is) is a damaged bundle.
        const std::string member = unloadable_member(e.value());
        if (!member.empty())
            refuse("FATAL: " + txt(bundle) + ": its " + member + " cannot be loaded (" + one_line(e.value()) + ")");
        throw;
    }
    nb::object renderer = mod_get("Renderer")(chain, color[0]);
    return mod_get("_serve")(renderer, chain, loaded[1]);
}

namespace {

// While the host runs, SIGTERM ends it through the ordinary exit request (status
// 128 + SIGTERM, as a shell reports a process ended by it), so the exit hooks run
// and no staged copy is left behind; the default action would kill the process
// on the spot. The caller's handler is put back when `main` returns. Python runs
// the handler on the main thread between steps, and blocking reads and writes
// of the host wake up for it.
class TermAsExit {
  public:
    // Set once the handler has run: the exit it asked for is owed from then on.
    static inline bool term_requested = false;

    TermAsExit() {
        nb::module_ threading = orvane::py_import("threading");
        if (!threading.attr("current_thread")().is(threading.attr("main_thread")())) return;
        nb::module_ signal = orvane::py_import("signal");
        nb::object prev = signal.attr("getsignal")(SIGTERM);
        if (prev.is_none()) return;  // installed outside Python: leave it alone
        // Output still owed to the parent is dropped: the process is ending, and a
        // parent that has stopped reading would otherwise hold it at its exit.
        nb::object handler = nb::cpp_function(
            [](nb::handle, nb::handle) {
                term_requested = true;
                out_abandon();
                sp::exit_request(128 + SIGTERM);
            },
            nb::arg("signum").none(), nb::arg("frame").none());
        signal.attr("signal")(SIGTERM, handler);
        prev_ = prev;
    }
    ~TermAsExit() {
        if (!prev_.is_valid()) return;
        // An error main is ending with travels in its C++ exception, not in the
        // interpreter's error indicator, so the restore may call into Python.
        try {
            orvane::py_import("signal").attr("signal")(SIGTERM, prev_);
        } catch (nb::python_error& e) {
            e.discard_as_unraisable("restoring the SIGTERM handler");
        }
    }

  private:
    nb::object prev_;
};

}  // namespace

nb::object host_main(nb::handle argv) {
    nb::object args = nb::borrow(argv);
    Py_ssize_t n = PySequence_Size(args.ptr());
    if (n < 0) throw nb::python_error();
    std::string bundle;
    nb::object bundle_obj = nb::str("");
    nb::object engine = nb::none();
    nb::object threads = nb::int_(0);
    nb::object to_int = sp::builtins().attr("int");
    for (Py_ssize_t i = 1; i < n;) {
        nb::object a = sp::item(args, i);
        // words are texts; anything else would otherwise pass as its repr (None -> "None")
        if (!PyUnicode_Check(a.ptr()))
            orvane::raise_type_error("argv[" + std::to_string(i) + "] must be str, not " +
                                     py_type_name(a));
        std::string s = txt(a);
        if (s == "render-stream") {
            i += 1;
        } else if (s == "--engine" && i + 1 < n) {
            engine = sp::item(args, i + 1);
            i += 2;
        } else if (s == "--threads" && i + 1 < n) {
            threads = to_int(sp::item(args, i + 1));
            i += 2;
        } else {
            if (!s.empty() && s[0] != '-' && bundle.empty()) {
                bundle = s;
                bundle_obj = a;
            }
            i += 1;
        }
    }
    if (bundle.empty()) {
        sp::elog(USAGE);
        return nb::int_(2);
    }
    threads = mod_get("default_threads")(nb::int_(1), threads);
    TermAsExit on_term;
    try {
        return mod_get("_run")(bundle_obj, engine, threads);
    } catch (nb::python_error& e) {
        // The handler raises its exit wherever Python code runs, and code it ran
        // inside may turn that into an error of its own (an extension module's
        // initialisation reports it as an ImportError): SIGTERM still ends the
        // host as SIGTERM, with the ordinary exit.
        if (!TermAsExit::term_requested || (e.matches(PyExc_SystemExit) && sp::py_eq(e.value().attr("code"), nb::int_(128 + SIGTERM))))
            throw;
        sp::exit_request(128 + SIGTERM);
    }
}

void register_startup(nb::module_& m) {
    m.def("main", [](nb::object argv) { return host_main(argv); }, nb::arg("argv").none(),
          "Entry of the render-stream host: `main(sys.argv)` -> exit status.");
    m.def("_run", [](nb::object bundle, nb::object engine, nb::object threads) { return run(bundle, engine, threads); },
          nb::arg("bundle").none(), nb::arg("engine").none(), nb::arg("threads").none());
    m.def("load_bundle", [](nb::object bundle, nb::object engine) { return load_bundle(bundle, engine); },
          nb::arg("bundle").none(), nb::arg("engine").none() = nb::none(),
          "(model paths, model name, canon) of a directory, QVX or zip bundle; a bundle fault exits with status 3.");
    m.def("load_color_correct", [](nb::object bundle) { return load_color_correct(bundle); }, nb::arg("bundle").none());
}

}  // namespace l2
