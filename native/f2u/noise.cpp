// Noise sources: live draws from one numpy generator (NumpyNoise), replay of a
// recording (RecNoise), and row-addressed per-channel AR(2) noise (AR2Noise).
// The random streams are numpy's own: its generators are called, never
// re-implemented.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "common/gc.hpp"
#include "f2u/constants.hpp"
#include "f2u/nparray.hpp"
#include "f2u/numeric.hpp"
#include "f2u/sources.hpp"

namespace f2u {

static nb::object default_rng(nb::handle seed) {
    return np::numpy().attr("random").attr("default_rng")(seed);
}

// ---- NumpyNoise -------------------------------------------------------------------

struct NumpyNoise {};

static nb::object nn_code(nb::handle self, nb::handle pr) {
    nb::object row = np::item(np::asarray(pr, "float64"), nb::int_(0));
    auto w = np::view<double>(row);
    if (w.ndim() != 1) orvane::raise_value_error("NumpyNoise.code: row 0 of pr must be one-dimensional");
    auto p = np::empty<double>({w.size});
    {
        nb::gil_scoped_release nogil;
        const double tot = pairwise_sum(w.data, w.size);
        for (size_t i = 0; i < w.size; ++i) p.data[i] = w.data[i] / tot;
    }
    nb::object k = self.attr("rng").attr("choice")(w.size, nb::arg("p") = p.obj);
    return np::py_int(k);
}

static nb::object nn_u(nb::handle self) {
    const double v = np::float_of(self.attr("rng").attr("random")());
    auto o = np::empty<float>({1});
    o.data[0] = (float)v;  // nearest float32: a double just below 1 may become 1.0
    return o.obj;
}

static nb::object nn_x0(nb::handle self, nb::handle n) {
    nb::object d = self.attr("rng").attr("standard_normal")(nb::make_tuple(1, n));
    auto v = np::view<double>(d);
    auto o = np::empty<float>(v.shape);
    {
        nb::gil_scoped_release nogil;
        for (size_t i = 0; i < v.size; ++i) o.data[i] = (float)v.data[i];
    }
    return o.obj;
}

// ---- RecNoise ------------------------------------------------------------------------

struct RecNoise {};

static nb::object list_of(nb::handle seq) { return orvane::py_import("builtins").attr("list")(seq); }

// Entry at a cursor; the cursor moves only once the entry has converted.
template <class F>
static nb::object replay(nb::handle self, const char* seq, const char* cur, F convert) {
    nb::object i = self.attr(cur);
    nb::object v = convert(np::item(self.attr(seq), i));
    self.attr(cur) = nb::steal(PyNumber_Add(i.ptr(), nb::int_(1).ptr()));
    return v;
}

// ---- AR2Noise --------------------------------------------------------------------------

struct AR2Noise {
    struct Chan {
        double a1, a2, sig, lag1, lag2;
    };
    std::vector<Chan> ch;
    std::vector<nb::object> rng;
    // Held rows in whole blocks, row-major (BLOCK x C each); blocks[0] starts
    // at stream row first_row. end is the count of rows ever generated (a
    // multiple of BLOCK; with no channel nothing is stored, only counted).
    std::deque<std::vector<double>> blocks;
    int64_t first_row = 0;
    int64_t end = 0;
    int64_t b0 = 0;
    // Set while a call works on the buffer with the GIL released: a second
    // thread calling in meanwhile is refused rather than racing on the blocks.
    bool busy = false;

    size_t C() const { return ch.size(); }
    // The Python references, for cycle collection.
    template <class F>
    void each(F f) {
        for (nb::object& g : rng) f(g);
    }
};

struct AR2Busy {
    AR2Noise& s;
    explicit AR2Busy(AR2Noise& s_) : s(s_) {
        if (s.busy) orvane::raise_runtime_error("AR2Noise: in use by another thread");
        s.busy = true;
    }
    ~AR2Busy() { s.busy = false; }
};

// The recursion, each product stored on its own: (a1*lag1 + a2*lag2) + e.
static void ar2_run(AR2Noise::Chan& c, const double* e, size_t n, double* out, size_t stride) {
    double l1 = c.lag1, l2 = c.lag2;
    for (size_t t = 0; t < n; ++t) {
        const double p1 = c.a1 * l1;
        const double p2 = c.a2 * l2;
        const double s = p1 + p2;
        const double nx = s + e[t];
        l2 = l1;
        l1 = nx;
        if (out) out[t * stride] = l1;
    }
    c.lag1 = l1;
    c.lag2 = l2;
}

// count standard normal draws of one generator, each times sig (stored product).
static std::vector<double> draws(nb::handle gen, int64_t count, double sig) {
    nb::object d = gen.attr("standard_normal")(count);
    auto v = np::view<double>(d);
    std::vector<double> e(v.size);
    for (size_t i = 0; i < v.size; ++i) e[i] = v.data[i] * sig;
    return e;
}

// Row indices past this cannot be rounded up to a whole block in int64.
static constexpr int64_t AR2_ROW_LIMIT = INT64_MAX - AR2_BLOCK;

// Generate whole blocks until rows below upto exist. Blocks that end at or
// before keep_from are about to be released by the caller: they advance the
// recursion but are not kept, so memory stays bounded however far ahead the
// request lies.
//
// A request far ahead runs the recursion block by block for as long as it takes
// and checks for signals between blocks, so Ctrl-C may end it. A call that fails
// (a signal handler that raises, a failed draw) leaves the source as it was:
// the blocks are made on the side and committed at the end, and the generators
// are set back to the states they had.
static void ar2_grow(AR2Noise& s, int64_t upto, int64_t keep_from) {
    if (upto > AR2_ROW_LIMIT) orvane::raise(PyExc_OverflowError, "AR2Noise: row index too large");
    const size_t C = s.C();
    if (C == 0) {
        // no values to draw or store: only the block count moves
        if (s.end < upto) {
            const int64_t gap = upto - s.end;
            s.end += (gap / AR2_BLOCK + (gap % AR2_BLOCK != 0)) * AR2_BLOCK;
        }
        return;
    }
    if (s.end >= upto) return;

    std::vector<nb::object> rng_state(C);
    for (size_t j = 0; j < C; ++j) rng_state[j] = s.rng[j].attr("bit_generator").attr("state");
    std::vector<AR2Noise::Chan> ch = s.ch;
    int64_t end = s.end;
    bool drop_held = false;       // every block held before the call ends before keep_from
    int64_t fresh_first = s.end;  // stream row of fresh[0] (of the next block when fresh is empty)
    std::deque<std::vector<double>> fresh;
    try {
        std::vector<std::vector<double>> e(C);
        while (end < upto) {
            for (size_t j = 0; j < C; ++j) e[j] = draws(s.rng[j], AR2_BLOCK, ch[j].sig);
            std::vector<double> blk((size_t)AR2_BLOCK * C);
            {
                nb::gil_scoped_release nogil;
                for (size_t j = 0; j < C; ++j) ar2_run(ch[j], e[j].data(), (size_t)AR2_BLOCK, blk.data() + j, C);
            }
            end += AR2_BLOCK;
            if (end <= keep_from) {
                // this block and every one before it end before keep_from
                fresh.clear();
                drop_held = true;
                fresh_first = end;
            } else {
                fresh.push_back(std::move(blk));
            }
            if (PyErr_CheckSignals() != 0) throw nb::python_error();
        }
    } catch (...) {
        for (size_t j = 0; j < C; ++j) s.rng[j].attr("bit_generator").attr("state") = rng_state[j];
        throw;
    }
    s.ch = std::move(ch);
    s.end = end;
    if (drop_held) {
        s.blocks = std::move(fresh);
        s.first_row = fresh_first;
        if (s.b0 < s.first_row) s.b0 = s.first_row;
    } else {
        if (s.blocks.empty()) s.first_row = fresh_first;
        for (auto& b : fresh) s.blocks.push_back(std::move(b));
    }
}

static void ar2_copy_rows(const AR2Noise& s, int64_t t0, int64_t t1, double* out) {
    const size_t C = s.C();
    for (int64_t r = t0; r < t1;) {
        const int64_t off = r - s.first_row;
        const size_t bi = (size_t)(off / AR2_BLOCK);
        const int64_t in_blk = off % AR2_BLOCK;
        const int64_t take = std::min<int64_t>(AR2_BLOCK - in_blk, t1 - r);
        const double* src = s.blocks[bi].data() + (size_t)in_blk * C;
        std::copy(src, src + (size_t)take * C, out + (size_t)(r - t0) * C);
        r += take;
    }
}

static nb::object ar2_rows(AR2Noise& s, nb::handle t0h, nb::handle t1h) {
    const int64_t t0 = np::to_i64(t0h), t1 = np::to_i64(t1h);
    AR2Busy guard(s);
    if (t0 < s.b0) orvane::raise_index_error("AR2Noise: rows already released");
    // An inverted range is refused before anything is generated.
    if (t1 < t0)
        orvane::raise_value_error("AR2Noise: row range end " + std::to_string(t1) + " is below its start " +
                                  std::to_string(t0));
    const size_t C = s.C();
    // The result is allocated first: a request too large to hold fails before
    // any row is generated.
    auto out = np::empty<double>({(size_t)(t1 - t0), C});
    const bool release = t0 - s.b0 > 4 * AR2_BLOCK;
    ar2_grow(s, t1, release ? t0 : s.b0);
    {
        nb::gil_scoped_release nogil;
        if (C) ar2_copy_rows(s, t0, t1, out.data);
    }
    if (release) {
        s.b0 = t0;
        // whole blocks that end at or before the new start are freed
        while (!s.blocks.empty() && s.first_row + AR2_BLOCK <= s.b0) {
            s.blocks.pop_front();
            s.first_row += AR2_BLOCK;
        }
    }
    return out.obj;
}

static void ar2_init(AR2Noise* p, nb::handle res, nb::handle seed) {
    std::vector<AR2Noise::Chan> ch;
    for (nb::handle c : np::item(res, "ar")) {
        const double a1 = np::float_of(np::py_float(np::item(c, "a1")));
        const double a2 = np::float_of(np::py_float(np::item(c, "a2")));
        const double sig = np::float_of(np::py_float(np::item(c, "sig")));
        ch.push_back({a1, a2, sig, 0.0, 0.0});
    }
    // (seed ^ mask) mod 2**32, on the unbounded two's complement of the seed
    nb::object x = nb::steal(PyNumber_Xor(seed.ptr(), nb::int_((int64_t)AR2_SEED_MASK).ptr()));
    if (!x.is_valid()) throw nb::python_error();
    nb::object s = nb::steal(PyNumber_And(x.ptr(), nb::int_((int64_t)0xFFFFFFFFll).ptr()));
    if (!s.is_valid()) throw nb::python_error();
    std::vector<nb::object> rng;
    for (size_t j = 0; j < ch.size(); ++j) {
        nb::list sj;
        sj.append(s);
        sj.append(nb::int_(j));
        rng.push_back(default_rng(sj));
    }
    for (size_t j = 0; j < ch.size(); ++j) {
        std::vector<double> e = draws(rng[j], BURN, ch[j].sig);
        // y0 = y1 = 0; draws 0 and 1 are taken and not used
        ar2_run(ch[j], e.data() + 2, (size_t)(BURN - 2), nullptr, 0);
    }
    AR2Noise* obj = new (p) AR2Noise();
    obj->ch = std::move(ch);
    obj->rng = std::move(rng);
}

void register_noise(nb::module_& m) {
    nb::class_<NumpyNoise>(m, "NumpyNoise", nb::dynamic_attr(), "Live draws from one seeded numpy generator.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<NumpyNoise> self, nb::handle seed) {
                self.h.attr("rng") = default_rng(np::py_int(seed));
                new (self.p) NumpyNoise();
            },
            nb::arg("seed").none())
        .def("code", &nn_code, nb::arg("pr").none(), "Index drawn with the normalised weights of row 0 of pr.")
        .def("u", &nn_u, "One uniform draw as float32 (1,).")
        .def("x0", &nn_x0, nb::arg("n").none(), "n standard normal draws as float32 (1, n).");

    nb::class_<RecNoise>(m, "RecNoise", nb::dynamic_attr(), "Replay of recorded draws, in order.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<RecNoise> self, nb::handle rec) {
                nb::object codes = list_of(np::item(rec, "code"));
                nb::object us = list_of(np::item(rec, "u"));
                nb::object x0s = list_of(np::item(rec, "x0"));
                self.h.attr("codes") = codes;
                self.h.attr("us") = us;
                self.h.attr("x0s") = x0s;
                self.h.attr("ic") = 0;
                self.h.attr("iu") = 0;
                self.h.attr("ix") = 0;
                new (self.p) RecNoise();
            },
            nb::arg("rec").none())
        .def(
            "code",
            [](nb::handle self, nb::handle pr) {
                (void)pr;
                return replay(self, "codes", "ic", [](nb::handle v) { return np::py_int(v); });
            },
            nb::arg("pr").none(), "The next recorded motion code (pr is ignored).")
        .def(
            "u",
            [](nb::handle self) {
                return replay(self, "us", "iu",
                              [](nb::handle v) { return np::copy_c(v, "float32").attr("reshape")(1); });
            },
            "The next recorded uniform value as float32 (1,).")
        .def(
            "x0",
            [](nb::handle self, nb::handle n) {
                return replay(self, "x0s", "ix",
                              [&](nb::handle v) { return np::copy_c(v, "float32").attr("reshape")(1, n); });
            },
            nb::arg("n").none(), "The next recorded noise block as float32 (1, n).");

    auto ar2 = nb::class_<AR2Noise>(m, "AR2Noise", nb::dynamic_attr(), nb::type_slots(orvane::gc_slots<AR2Noise>()), "Per-channel AR(2) noise stream, generated in blocks, addressed by row.");
    ar2.attr("BLOCK") = AR2_BLOCK;
    ar2
        .def(
            "__init__",
            [](AR2Noise* p, nb::handle res, nb::handle seed) { ar2_init(p, res, seed); },
            nb::arg("res").none(), nb::arg("seed").none())
        .def(
            "_grow",
            [](AR2Noise& s, nb::handle upto) {
                const int64_t u = np::to_i64(upto);
                AR2Busy guard(s);
                ar2_grow(s, u, s.b0);
            },
            nb::arg("upto").none(),
             "Generate whole blocks until stream rows below upto exist.")
        .def("rows", &ar2_rows, nb::arg("t0").none(), nb::arg("t1").none(),
             "Stream rows t0 .. t1-1, float64 (t1 - t0, C).")
        .def_prop_ro(
            "ar",
            [](AR2Noise& s) {
                nb::list l;
                for (auto& c : s.ch) l.append(nb::make_tuple(c.a1, c.a2, c.sig));
                return l;
            },
            "Per-channel (a1, a2, sig).")
        .def_prop_ro(
            "rng",
            [](AR2Noise& s) {
                nb::list l;
                for (auto& g : s.rng) l.append(g);
                return l;
            },
            "Per-channel generators, seeded with [s, j].")
        .def_prop_ro(
            "state",
            [](AR2Noise& s) {
                AR2Busy guard(s);
                nb::list l;
                for (auto& c : s.ch) {
                    nb::list p;
                    p.append(c.lag1);
                    p.append(c.lag2);
                    l.append(p);
                }
                return l;
            },
            "Per-channel [lag1, lag2].")
        .def_prop_ro(
            "buf",
            [](AR2Noise& s) {
                AR2Busy guard(s);
                const size_t C = s.C();
                const int64_t n = s.end > s.b0 ? s.end - s.b0 : 0;
                auto out = np::empty<double>({(size_t)n, C});
                if (C && n) ar2_copy_rows(s, s.b0, s.end, out.data);
                return out.obj;
            },
            "Copy of the generated rows still held (row 0 is stream row b0).")
        .def_prop_ro("b0", [](AR2Noise& s) { return s.b0; }, "Stream index of the first row still held.");
}

}  // namespace f2u
