// LitertChain: loads the chain's model files into LiteRT interpreters and runs
// its five signatures. LiteRT is imported only when a chain is built, so the
// module loads without it.
#include "lumeth2/chain.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "common/gc.hpp"
#include "lumeth2/constants.hpp"
#include "lumeth2/staging.hpp"

namespace l2 {

using namespace nb::literals;

namespace {

constexpr const char* kSigs[] = {"enc", "tok14", "step", "dec16", "dec8"};

using F32 = nb::ndarray<float, nb::c_contig, nb::device::cpu>;
using CF32 = nb::ndarray<const float, nb::c_contig, nb::device::cpu>;

// Pointer into a float32 C-contiguous numpy array the chain allocated itself.
float* f32_data(nb::handle arr) { return nb::cast<F32>(arr, false).data(); }

// `x.reshape(shape)` through numpy, so size mismatches raise numpy's own error.
template <typename... D>
nb::object np_reshape(nb::handle x, D... dims) {
    return np_mod().attr("reshape")(x, nb::make_tuple(dims...));
}

// list(x) of any iterable, as the interpreter's list() makes it.
nb::list to_list(nb::handle x) {
    PyObject* l = PySequence_List(x.ptr());
    if (!l) throw nb::python_error();
    return nb::steal<nb::list>(l);
}

// repr(x) as UTF-8 text (no std::string caster needed).
std::string repr_text(nb::handle x) { return nb::repr(x).c_str(); }

nb::object call_runner(nb::handle runner, const char* key, nb::handle value) {
    nb::dict kw;
    kw[key] = value;
    return runner(**kw)["output_0"];
}

// A decoder output the frames may point into: owned, writable float32, else a copy.
nb::object owned_f32(nb::object out) {
    nb::module_ np = np_mod();
    if (nb::isinstance(out, np.attr("ndarray"))) {
        nb::object flags = out.attr("flags");
        // equal() is already a C++ bool: no cast (a cast of a bool makes a Python
        // object, which tests true whatever its value)
        if (nb::cast<bool>(flags.attr("owndata")) && nb::cast<bool>(flags.attr("writeable")) &&
            out.attr("dtype").equal(np_float32()))
            return out;
    }
    return np.attr("array")(out, "dtype"_a = np_float32());
}

nb::object zeros_batch(int64_t b) {
    return np_mod().attr("zeros")(nb::make_tuple(b, 36, LH, LW), "dtype"_a = np_float32());
}

PyObject* g_unloadable = nullptr;  // the last one only; never released at exit
std::string g_unloadable_member;

}  // namespace

std::string unloadable_member(nb::handle exc) {
    return g_unloadable != nullptr && exc.ptr() == g_unloadable ? g_unloadable_member : std::string();
}

namespace {

LitertChain build_chain(nb::object tflite_paths, nb::handle canon, nb::handle threads) {
    nb::object interp_cls = orvane::py_import("ai_edge_litert.interpreter").attr("Interpreter");

    nb::object os = orvane::py_import("os");
    if (nb::isinstance<nb::str>(tflite_paths) || nb::isinstance(tflite_paths, os.attr("PathLike")))
        tflite_paths = nb::make_tuple(tflite_paths);
    nb::list paths = to_list(tflite_paths);

    // A count past MAX_INTERPRETER_THREADS is given that many; anything that is
    // not a larger int goes to the runtime as it came, refusals included.
    nb::object most = nb::int_(MAX_INTERPRETER_THREADS);
    nb::object per_interp = nb::borrow(threads);
    if (PyLong_Check(threads.ptr())) {
        const int over = PyObject_RichCompareBool(threads.ptr(), most.ptr(), Py_GT);
        if (over < 0) throw nb::python_error();
        if (over) per_interp = most;
    }

    LitertChain c;
    nb::list its;
    nb::dict sigmap;
    for (nb::handle p : paths) {
        // a copy staged by this process is opened through the descriptor it wrote
        nb::object it;
        try {
            it = interp_cls("model_path"_a = staged_load_path(p), "num_threads"_a = per_interp);
            it.attr("allocate_tensors")();
        } catch (nb::python_error& e) {
            // The runtime refusing a model that came out of the bundle: the
            // bundle's fault (the host says so), unless memory ran out.
            std::string member = staged_member(p);
            if (!member.empty() && e.matches(PyExc_Exception) && !e.matches(PyExc_MemoryError)) {
                Py_INCREF(e.value().ptr());
                Py_XDECREF(g_unloadable);
                g_unloadable = e.value().ptr();
                g_unloadable_member = member;
            }
            throw;
        }
        its.append(it);
        for (nb::handle name : it.attr("get_signature_list")()) {
            nb::object runner = it.attr("get_signature_runner")(name);
            if (!sigmap.contains(name)) sigmap[name] = runner;  // the earliest file wins
        }
    }

    // The interpreters hold their models now; staged temporary copies can go.
    mod_get("_release_staged")(paths);

    nb::list missing;
    for (const char* s : kSigs)
        if (!sigmap.contains(s)) missing.append(nb::str(s));
    if (nb::len(missing) > 0) {
        nb::list shown;
        for (nb::handle p : paths) shown.append(nb::str(p));
        nb::list have = to_list(sigmap.keys());
        have.sort();
        orvane::raise_runtime_error(
            "LiteRT chain missing signature(s) " + repr_text(missing) + " across " +
            repr_text(shown) + " (have " + repr_text(have) +
            "); need combined_litert.tflite OR shared-enc.tflite + identity.tflite");
    }

    c.its = its;
    c.enc = sigmap["enc"];
    c.tok = sigmap["tok14"];
    c.step = sigmap["step"];
    c.dec16 = sigmap["dec16"];
    c.dec8 = sigmap["dec8"];

    // The history input is whichever step input is five-dimensional; the
    // exporters have not been consistent about its position.
    c.hist_key = nb::str("args_0");
    nb::object details = c.step.attr("get_input_details")();
    for (nb::handle name : details) {
        nb::object shape = details[name]["shape"];
        if (nb::len(shape) == 5) {
            c.hist_key = nb::str(name);
            break;
        }
    }
    c.atok_key = nb::str(c.hist_key.equal(nb::str("args_0")) ? "args_1" : "args_0");

    nb::module_ np = np_mod();
    c.canon = np.attr("array")(np_reshape(np.attr("asarray")(canon), LC, PLANE),
                               "dtype"_a = np_float32(), "order"_a = "C");
    return c;
}

nb::object new_hist(const LitertChain& c) {
    CF32 canon;
    if (!nb::try_cast(c.canon, canon, false) || canon.ndim() != 2 || canon.shape(0) != LC ||
        canon.shape(1) != PLANE)
        orvane::raise_type_error("canon must be a C-contiguous float32 array of shape (16, 4680)");
    nb::object h = np_mod().attr("empty")(nb::make_tuple(1, LC, CTX, LH, LW), "dtype"_a = np_float32());
    float* dst = f32_data(h);
    {
        nb::gil_scoped_release nogil;
        hist_fill(dst, canon.data());
    }
    return h;
}

void shift_hist(nb::handle h, nb::handle lat) {
    nb::module_ np = np_mod();
    F32 hist;
    bool ok = nb::try_cast(h, hist, false) && hist.ndim() == 5 && hist.shape(0) == 1 &&
              hist.shape(1) == LC && hist.shape(2) == CTX && hist.shape(3) == LH && hist.shape(4) == LW;
    if (!ok)
        orvane::raise_value_error(
            "history must be a writable C-contiguous float32 array of shape (1, 16, 16, 90, 52)");
    nb::object la = np.attr("ascontiguousarray")(np_reshape(np.attr("asarray")(lat), LC, PLANE),
                                                 "dtype"_a = np_float32());
    CF32 l = nb::cast<CF32>(la, false);
    float* hp = hist.data();
    const float* lp = l.data();
    nb::gil_scoped_release nogil;
    const size_t hist_bytes = size_t(LC * CTX * PLANE) * sizeof(float);
    const char* hb = reinterpret_cast<const char*>(hp);
    const char* lb = reinterpret_cast<const char*>(lp);
    const bool overlaps = lb < hb + hist_bytes && hb < lb + size_t(LC * PLANE) * sizeof(float);
    if (overlaps) {
        // A latent that is a view into the history itself: take it before the move.
        std::vector<float> snap(lp, lp + LC * PLANE);
        hist_shift(hp, snap.data());
    } else {
        hist_shift(hp, lp);
    }
}

// A short xs would hand the runner a short batch, which the runtime resizes its
// input to instead of refusing: check first.
void check_rows(nb::handle xs, int64_t n) {
    const int64_t rows = int64_t(nb::len(xs));
    if (n > rows)
        orvane::raise_value_error("cannot decode " + std::to_string(n) + " rows from " +
                                  std::to_string(rows));
}

nb::list run_dec_frames(const LitertChain& c, nb::handle xs, int64_t n) {
    check_rows(xs, n);
    nb::list frames;
    int64_t done = 0;
    nb::module_ np = np_mod();
    while (done < n) {
        const int64_t rem = n - done, b = rem > 8 ? 16 : 8, take = std::min(rem, b);
        nb::object rows = xs[nb::slice(done, done + take)];
        nb::object inp;
        if (take == b) {
            inp = np.attr("ascontiguousarray")(rows, "dtype"_a = np_float32());
        } else {
            inp = zeros_batch(b);
            inp[nb::slice(int64_t(0), take)] = rows;
        }
        nb::object out = owned_f32(call_runner(b == 16 ? c.dec16 : c.dec8, "args_0", inp));
        nb::object out4 = np_reshape(out, b, 3, FH, FW);
        for (int64_t k = 0; k < take; ++k) frames.append(out4[nb::int_(k)]);
        done += take;
    }
    return frames;
}

nb::object run_dec_batch(const LitertChain& c, nb::handle xs, int64_t n) {
    check_rows(xs, n);
    nb::module_ np = np_mod();
    nb::object res = np.attr("empty")(nb::make_tuple(n, 3, FH, FW), "dtype"_a = np_float32());
    int64_t done = 0;
    while (done < n) {
        const int64_t rem = n - done, b = rem > 8 ? 16 : 8, take = std::min(rem, b);
        nb::object inp = zeros_batch(b);
        inp[nb::slice(int64_t(0), take)] = xs[nb::slice(done, done + take)];
        nb::object out = call_runner(rem > 8 ? c.dec16 : c.dec8, "args_0", inp);
        res[nb::slice(done, done + take)] = np_reshape(out, b, 3, FH, FW)[nb::slice(int64_t(0), take)];
        done += take;
    }
    return res;
}

}  // namespace

nb::module_ np_mod() { return orvane::py_import("numpy"); }
nb::object np_float32() { return np_mod().attr("float32"); }

void hist_fill(float* hist, const float* canon) {
    for (int64_t c = 0; c < LC; ++c)
        for (int64_t t = 0; t < CTX; ++t)
            std::memcpy(hist + (c * CTX + t) * PLANE, canon + c * PLANE, sizeof(float) * PLANE);
}

void hist_shift(float* hist, const float* lat) {
    for (int64_t c = 0; c < LC; ++c) {
        float* ch = hist + c * CTX * PLANE;
        std::memmove(ch, ch + PLANE, sizeof(float) * PLANE * (CTX - 1));
        std::memcpy(ch + (CTX - 1) * PLANE, lat + c * PLANE, sizeof(float) * PLANE);
    }
}

void register_chain(nb::module_& m) {
    m.attr("_SIGS") = nb::make_tuple("enc", "tok14", "step", "dec16", "dec8");

    nb::class_<LitertChain>(m, "LitertChain", nb::type_slots(orvane::gc_slots<LitertChain>()),
                            "The lumeth-2 LiteRT model chain: one interpreter per model file, the "
                            "five signatures enc, tok14, step, dec16, dec8 (first file wins a clash).")
        .def("__init__",
             [](LitertChain* self, nb::object tflite_paths, nb::object canon, nb::object threads) {
                 LitertChain built = build_chain(std::move(tflite_paths), canon, threads);
                 new (self) LitertChain(std::move(built));
             },
             "tflite_paths"_a.none(), "canon"_a.none(), "threads"_a.none())
        .def_rw("_its", &LitertChain::its)
        .def_rw("enc", &LitertChain::enc)
        .def_rw("tok", &LitertChain::tok)
        .def_rw("step", &LitertChain::step)
        .def_rw("dec16", &LitertChain::dec16)
        .def_rw("dec8", &LitertChain::dec8)
        .def_rw("_hist_key", &LitertChain::hist_key)
        .def_rw("_atok_key", &LitertChain::atok_key)
        .def_rw("canon", &LitertChain::canon)
        .def("new_hist", &new_hist, "A new LatentHistory (1, 16, 16, 90, 52) with canon in every slot.")
        .def_static("shift_hist", &shift_hist, "h"_a.none(), "lat"_a.none(),
                    "Drop the oldest latent of h and append lat as the newest, in place.")
        .def("run_enc",
             [](const LitertChain& c, nb::handle tempo) {
                 return call_runner(c.enc, "args_0", np_reshape(tempo, 1, TEMPO_SAMPLES));
             },
             "tempo"_a.none())
        .def("run_tok",
             [](const LitertChain& c, nb::handle feats) {
                 return np_reshape(call_runner(c.tok, "args_0", feats), 14, NA, CA);
             },
             "feats"_a.none())
        .def("run_step",
             [](const LitertChain& c, nb::handle hist, nb::handle atok) {
                 nb::dict kw;
                 kw[c.hist_key] = hist;
                 kw[c.atok_key] = np_reshape(atok, 1, NA, CA);
                 return np_reshape(c.step(**kw)["output_0"], LC, LH, LW);
             },
             "hist"_a.none(), "atok"_a.none())
        .def("run_dec_frames", &run_dec_frames, "xs"_a.none(), "n"_a,
             "Decode the first n rows of xs into a list of n (3, 720, 416) float32 frames.")
        .def("run_dec_batch", &run_dec_batch, "xs"_a.none(), "n"_a,
             "Decode the first n rows of xs into one new float32 array (n, 3, 720, 416).");
}

}  // namespace l2
