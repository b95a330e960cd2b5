// Motion opener: intake of motion rows with their features, the eye-event
// onset process over them, and the output side that writes the eye columns
// and picks eye key levels (F3COpen; F3XBOpen with cross-calibrated eyes).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "f2u/heads.hpp"
#include "f2u/motion_glue.hpp"
#include "f2u/opener.hpp"

namespace f2u {

struct F3COpen {};
struct F3XBOpen : F3COpen {};

static nb::object slice(int64_t a, int64_t b) { return nb::slice(nb::int_(a), nb::int_(b), nb::none()); }
static nb::object slice_from(int64_t a) { return nb::slice(nb::int_(a), nb::none(), nb::none()); }
static nb::object all() { return nb::slice(nb::none(), nb::none(), nb::none()); }

// ---- construction ------------------------------------------------------------

static void open_init(nb::handle self, nb::handle g, nb::handle emap, nb::handle P, nb::handle d, nb::handle c,
                      nb::handle seed, nb::handle shift, nb::handle noise, nb::handle ehyst, nb::handle keep_onsets) {
    nb::object np_ = np::numpy();
    self.attr("g") = g;
    self.attr("emap") = emap;
    self.attr("P") = np::asarray(P, "float64");
    self.attr("d") = d;
    self.attr("c") = c;
    self.attr("shift") = shift;
    self.attr("ehyst") = ehyst;
    self.attr("noise") = noise;
    nb::object s = np::py_int(seed) % glue::py_i64(int64_t(1) << 32);
    self.attr("rng") = np_.attr("random").attr("default_rng")(s);

    // candidate clips: nearest pre-level to the eyes' mean rest level first
    nb::object rest = emap.attr("rest");
    nb::object r0 = np::item(rest, nb::int_(0)), r1 = np::item(rest, nb::int_(1));
    nb::object restm = nb::float_(0.5) * (r0 + r1);
    nb::object dist = np_.attr("abs")(g.attr("pre") - restm);
    nb::object sel = np::item(np_.attr("argsort")(dist), nb::slice(nb::none(), g.attr("k"), nb::none()));
    nb::object fl = np::asarray(np::item(g.attr("flut"), sel), "bool");
    self.attr("pool_f") = np::item(sel, fl);
    self.attr("pool_s") = np::item(sel, np_.attr("logical_not")(fl));

    self.attr("NX") = np::item(np_.attr("shape")(g.attr("lib")), nb::int_(1));
    nb::object res = g.attr("res");
    self.attr("B") = np_.attr("asarray")(np::item(res, "B"));
    self.attr("V") = np_.attr("asarray")(np::item(res, "V"));
    nb::object aw = g.attr("aw");
    self.attr("aw") = aw;
    nb::list firsts;
    for (nb::handle w : aw) firsts.append(glue::unpack(w, 2)[0]);
    self.attr("amin") = orvane::py_import("builtins").attr("min")(firsts);  // ValueError for an empty list

    const int64_t NX = np::to_i64(self.attr("NX"));
    self.attr("f") = glue::zeros<double>({(size_t)(4096 + NX)}).obj;
    self.attr("fb") = 0;
    self.attr("on") = nb::list();
    self.attr("n_on") = 0;
    self.attr("last") = nb::none();
    self.attr("th") = 0;
    self.attr("keep_onsets") = keep_onsets;
    self.attr("cs_last") = nb::none();
    self.attr("cs") = nb::none();
    self.attr("cb") = 0;
    self.attr("pend") = glue::zeros<float>({0, 69}).obj;
    self.attr("n") = 0;
    self.attr("done") = 0;
    self.attr("prev") = nb::none();
}

// ---- intake ------------------------------------------------------------------

// Every shape is checked, and every new value made, before the state changes:
// a refused block leaves the sums, the pending rows and the counts as they were.
static void open_add(nb::handle self, nb::handle rows, nb::handle fp, nb::handle fe) {
    nb::object np_ = np::numpy();
    nb::list cols;
    cols.append(np::asarray(fp, "float64"));
    cols.append(np::asarray(fe, "float64"));
    nb::object x = np_.attr("column_stack")(cols);  // fp and fe of different lengths fail here
    nb::object r32 = np::asarray(rows, "float32");
    const size_t Tx = nb::len(x);
    // no rows at all: nothing changes (a 0-d `rows` is no block and fails below)
    if (Tx == 0 && nb::len(nb::object(r32.attr("shape"))) > 0 && nb::len(r32) == 0) return;
    nb::object cs_last = self.attr("cs_last"), cs = self.attr("cs");
    if (Tx > 0) {
        const size_t K = nb::cast<size_t>(np_.attr("shape")(x)[1]);
        if (cs_last.is_none()) {
            cs_last = np_.attr("zeros")(nb::make_tuple(1, K));
            cs = cs_last.attr("copy")();
        } else {
            // the sums would broadcast a single feature column over all of them
            const size_t K0 = nb::cast<size_t>(np_.attr("shape")(cs_last)[1]);
            if (K != K0)
                orvane::raise_value_error(
                    "all the input array dimensions except for the concatenation axis must match exactly, but "
                    "along dimension 1, the array at index 0 has size " + std::to_string(K0) +
                    " and the array at index 1 has size " + std::to_string(K));
        }
        nb::object c = cs_last + np_.attr("cumsum")(x, nb::arg("axis") = 0);
        nb::list parts;
        parts.append(cs);
        parts.append(c);
        cs = np_.attr("concatenate")(parts, nb::arg("axis") = 0);
        cs_last = np::item(c, slice_from(-1)).attr("copy")();
    }
    nb::object pend = self.attr("pend");
    nb::list pp;
    pp.append(pend);
    pp.append(r32);
    nb::object grown = np_.attr("concatenate")(pp, nb::arg("axis") = 0);  // rows not 69 wide fail here
    nb::object n = self.attr("n") + nb::int_(nb::len(grown) - nb::len(pend));
    self.attr("cs_last") = cs_last;
    self.attr("cs") = cs;
    self.attr("pend") = grown;
    self.attr("n") = n;
}

// ---- event track ---------------------------------------------------------------

static void open_f_need(nb::handle self, nb::handle hi_h) {
    const int64_t hi = np::to_i64(hi_h);
    int64_t fb = np::to_i64(self.attr("fb"));
    auto f = np::view<double>(self.attr("f"));
    if ((glue::i128)hi - fb <= (glue::i128)f.size) return;
    const int64_t done = np::to_i64(self.attr("done"));
    const size_t from = (size_t)std::clamp<glue::i128>((glue::i128)done - fb, 0, (glue::i128)f.size);
    const size_t nkeep = f.size - from;
    fb = std::max(fb, done);
    const glue::i128 want = std::max<glue::i128>(2 * (glue::i128)nkeep, (glue::i128)hi - fb + 4096);
    if (want * (glue::i128)sizeof(double) > PTRDIFF_MAX)
        orvane::raise_value_error(
            "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.");
    auto nf = glue::zeros<double>({(size_t)want});
    std::memcpy(nf.data, f.data + from, nkeep * sizeof(double));
    self.attr("fb") = fb;
    self.attr("f") = nf.obj;
}

// ---- onset pass ----------------------------------------------------------------

// Feature vector of one evaluated row: the age one-hot, then the mean of
// every window over the prefix sums (rows lo .. hi - 1, cut at 0 and at n).
void opener_window_means(const double* cs, int64_t cb, size_t K, const int64_t* aw, size_t nw,
                         int64_t t, int64_t n, double* out) {
    for (size_t w = 0; w < nw; ++w) {
        const int64_t lo = std::min(std::max(t + aw[2 * w], (int64_t)0), n);
        const int64_t hi = std::min(std::max(t + aw[2 * w + 1], (int64_t)0), n);
        const double width = (double)std::max<int64_t>(hi - lo, 1);
        const double* a = cs + (size_t)(hi - cb) * K;
        const double* b = cs + (size_t)(lo - cb) * K;
        for (size_t k = 0; k < K; ++k) out[w * K + k] = (a[k] - b[k]) / width;
    }
}

// on = its last keep_onsets entries, with Python's int comparison (any size).
static void cap_onsets(nb::handle on, nb::handle keep_onsets) {
    const Py_ssize_t len = (Py_ssize_t)nb::len(on);
    nb::object excess = nb::int_(len) - keep_onsets;
    if (!(excess > nb::int_(0))) return;
    const Py_ssize_t drop = excess > nb::int_(len) ? len : (Py_ssize_t)np::to_i64(excess);
    if (PySequence_DelSlice(on.ptr(), 0, drop) != 0) throw nb::python_error();
}

static void open_hazard(nb::handle self) {
    using glue::i128;
    nb::object np_ = np::numpy();
    // the prefix sums as the pass begins (nothing in the pass changes them)
    nb::object cs_obj = self.attr("cs");
    const int64_t cb = np::to_i64(self.attr("cb"));
    const int64_t n = np::to_i64(self.attr("n"));
    int64_t th = np::to_i64(self.attr("th"));
    nb::object g = self.attr("g");
    if (th < n) {
        np::View<double> cs;
        size_t K = 0;
        if (!cs_obj.is_none()) {
            cs = np::view<double>(cs_obj);
            if (cs.ndim() != 2) orvane::raise_value_error("F3COpen: prefix sums must be two-dimensional");
            K = cs.shape[1];
        }
        const size_t cs_rows = cs_obj.is_none() ? 0 : cs.shape[0];
        // window bounds beyond +-2^62 act as the bound itself once cut at 0 and n
        constexpr int64_t FAR = int64_t(1) << 62;
        std::vector<int64_t> aw;
        for (nb::handle w : self.attr("aw")) {
            auto ab = glue::unpack(w, 2);
            for (auto& v : ab) aw.push_back((int64_t)std::clamp<i128>(np::to_i64(np::py_int(v)), -FAR, FAR));
        }
        const size_t nw = aw.size() / 2, nfeat = 26 + nw * K;
        nb::object mu_obj = g.attr("mu_x"), sd_obj = g.attr("sd_x"), w_obj = g.attr("w");
        const double b = np::float_of(g.attr("b")), shift = np::float_of(self.attr("shift"));
        const double REF = np::float_of(g.attr("REF"));
        nb::object q = g.attr("q");
        nb::object pool_f = self.attr("pool_f"), pool_s = self.attr("pool_s");
        nb::object lib = g.attr("lib");
        nb::object rng = self.attr("rng");
        nb::object tau_feat = mod_get("tau_feat");
        nb::object dot = np_.attr("dot");
        const int64_t NX = np::to_i64(self.attr("NX"));
        while (th < n) {
            const int64_t t = th;
            th = t + 1;
            self.attr("th") = th;
            nb::object last = self.attr("last");
            const bool started = !last.is_none();
            const int64_t gap = started ? glue::to_i64((i128)t - np::to_i64(last), "F3COpen: gap") : t;
            if (started && (double)gap < REF) continue;
            // every window's two prefix-sum rows, numpy's IndexError past them
            for (size_t wi = 0; wi < nw; ++wi)
                for (int e = 0; e < 2; ++e)
                    glue::checked_index((i128)std::clamp<int64_t>(t + aw[2 * wi + e], 0, n) - cb, 0, cs_rows);
            auto tf = np::view<float>(tau_feat(gap, started));
            if (tf.size != 26) orvane::raise_value_error("F3COpen: tau_feat must give 26 values");
            auto mu = np::view<double>(mu_obj), sd = np::view<double>(sd_obj);
            for (auto* v : {&mu, &sd})
                if (v->size != nfeat && v->size != 1)
                    orvane::raise_value_error("operands could not be broadcast together with shapes (" +
                                              std::to_string(nfeat) + ",) (" + std::to_string(v->size) + ",) ");
            auto z = np::empty<double>({nfeat});
            for (size_t i = 0; i < 26; ++i) z.data[i] = (double)tf.data[i];
            opener_window_means(cs.data, cb, K, aw.data(), nw, t, n, z.data + 26);
            for (size_t i = 0; i < nfeat; ++i)
                z.data[i] = (z.data[i] - mu.data[mu.size == 1 ? 0 : i]) / sd.data[sd.size == 1 ? 0 : i];
            const double logit = np::float_of(dot(z.obj, w_obj)) + b + shift;
            // IEEE double: below about -709 exp(-logit) overflows to inf and p is 0,
            // an onset that cannot happen; its draw is still taken below, so the
            // stream of draws does not depend on how negative the logit is.
            const double p = 1.0 / (1.0 + std::exp(-logit));
            const double u = np::float_of(rng.attr("random")());
            if (!(u < p)) continue;
            nb::object pool = pool_s;
            if (!q.is_none() && nb::len(pool_f) > 0) {
                const double u2 = np::float_of(rng.attr("random")());
                if (u2 < np::float_of(q)) pool = pool_f;
            }
            nb::object i = rng.attr("integers")(nb::len(pool));
            const int64_t j = np::to_i64(np::py_int(np::item(pool, i)));
            auto clip = np::view<double>(np::item(lib, glue::py_i64(j)));
            if ((int64_t)clip.size != NX) orvane::raise_value_error("F3COpen: clip length differs from NX");
            open_f_need(self, glue::py_i64(glue::to_i64((i128)t + NX, "F3COpen: row")));
            auto f = glue::mut<double>(self.attr("f"), "F3COpen.f");
            const i128 o = (i128)t - np::to_i64(self.attr("fb"));
            glue::checked_index(o, 0, f.size);
            if (NX > 0) glue::checked_index(o + NX - 1, 0, f.size);
            for (int64_t m = 0; m < NX; ++m) {
                double& cur = f.data[(size_t)o + m];
                const double v = clip.data[m];
                cur = (std::isnan(cur) || std::isnan(v)) ? (std::isnan(cur) ? cur : v) : std::max(cur, v);  // np.maximum
            }
            nb::object on = self.attr("on");
            on.attr("append")(t);
            self.attr("n_on") = self.attr("n_on") + nb::int_(1);
            cap_onsets(on, self.attr("keep_onsets"));
            self.attr("last") = t;
        }
    }
    // drop prefix sums no later window can reach; never past the newest row,
    // so the rows appended next still line up with cb
    if (cs_obj.is_none()) return;
    const i128 lo = std::min<i128>(std::max<i128>((i128)th + np::to_i64(self.attr("amin")) - 1, 0), n);
    if (lo - cb > 2048) {
        self.attr("cs") = np::item(cs_obj, slice_from((int64_t)(lo - cb))).attr("copy")();
        self.attr("cb") = glue::py_i64((int64_t)lo);
    }
}

// ---- output side ---------------------------------------------------------------

static nb::object open_base(nb::handle self) {
    self.attr("_hazard")();
    const int64_t done = np::to_i64(self.attr("done")), n = np::to_i64(self.attr("n"));
    if (n <= done) return nb::none();
    nb::object np_ = np::numpy();
    nb::object pend = self.attr("pend");
    nb::object rows = np_.attr("array")(np::item(pend, slice(0, n - done)), nb::arg("dtype") = np::dtype("float32"));
    nb::object rest = np::item(pend, slice_from(n - done)).attr("copy")();
    nb::object rot = np::item(rows, nb::make_tuple(all(), slice(63, 66))).attr("astype")(np::dtype("float64"));
    nb::object nz = self.attr("noise").attr("rows")(done, n);
    nb::object base = np_.attr("matmul")(rot, self.attr("B")) + np_.attr("matmul")(nz, self.attr("V"));
    self.attr("_f_need")(n);
    const int64_t fb = np::to_i64(self.attr("fb"));
    nb::object track = np::item(self.attr("f"), slice(done - fb, n - fb)).attr("copy")();
    // the rows leave the buffer only once the step has everything it returns
    self.attr("pend") = rest;
    return nb::make_tuple(rows, base, track, n);
}

static void open_eyes(nb::handle self, nb::handle out, nb::handle Rr, nb::handle keys, nb::handle EYE4) {
    nb::object np_ = np::numpy();
    nb::object pd = mod_get("path_delta");
    nb::object d = self.attr("d"), c = self.attr("c"), u = self.attr("g").attr("u");
    nb::object left = pd(np::item(keys, nb::make_tuple(all(), 0)), d, c, u);
    nb::object right = pd(np::item(keys, nb::make_tuple(all(), 1)), d, c, u);
    nb::list parts;
    parts.append(np::item(left, nb::make_tuple(all(), slice(0, 6))));
    parts.append(np::item(right, nb::make_tuple(all(), slice(6, 12))));
    nb::object both = np_.attr("concatenate")(parts, nb::arg("axis") = 1);
    nb::object v = (both + Rr).attr("astype")(np::dtype("float32"));
    nb::object key = nb::make_tuple(all(), EYE4);
    if (PyObject_SetItem(out.ptr(), key.ptr(), v.ptr()) != 0) throw nb::python_error();
}

// Nearest level with hysteresis: j = first argmin of dist (a NaN wins, as in
// numpy); the previous index stays while its distance is <= best / ehyst.
int64_t opener_pick(const double* dist, size_t E, int64_t prev, double ehyst) {
    size_t j = 0;
    for (size_t k = 1; k < E && !std::isnan(dist[j]); ++k)
        if (std::isnan(dist[k]) || dist[k] < dist[j]) j = k;
    if (prev >= 0 && dist[prev] <= dist[j] / ehyst) return prev;
    return (int64_t)j;
}

// prev index as numpy would index with it: negatives wrap, beyond fails.
static int64_t prev_index(nb::handle prev, int s, size_t E) {
    nb::object i = np::item(prev, nb::int_(s));
    nb::object ii = nb::steal(PyNumber_Index(i.ptr()));
    if (!ii.is_valid()) throw nb::python_error();
    nb::int_ e((int64_t)E);
    if (ii < -e || !(ii < e))
        orvane::raise_index_error("index " + orvane::py_str(ii) + " is out of bounds for axis 0 with size " +
                                  std::to_string(E));
    const int64_t v = np::to_i64(ii);
    return v < 0 ? v + (int64_t)E : v;
}

// A pop that fails after its frame step has taken the pending rows puts them
// back: `done` has not moved, so the opener is as it was and a retry hands out
// the same rows. (The onset pass that ran first keeps its decisions, as it
// would on a retry: it has no rows left to decide.)
template <class F>
static nb::object keep_pending_on_failure(nb::handle self, F pop) {
    nb::object pend = self.attr("pend");
    try {
        return pop();
    } catch (...) {
        self.attr("pend") = pend;
        throw;
    }
}

[[noreturn]] static void raise_empty_argmin() {
    orvane::raise_value_error("attempt to get argmin of an empty sequence");
}

static nb::object open_pop_step(nb::handle self, nb::handle EYE4) {
    nb::object st = self.attr("_base")();
    if (st.is_none()) return st;
    nb::object rows = st[0], base = st[1], track = st[2], n = st[3];
    nb::object keys = np::asarray(self.attr("emap").attr("key")(track), "float64");
    self.attr("_eyes")(rows, base, keys, EYE4);
    auto kv = np::view<double>(keys);
    auto P = np::view<double>(self.attr("P"));
    const size_t T = nb::len(rows), E = P.size;
    if (kv.ndim() != 2 || kv.shape[0] != T || kv.shape[1] < 2)
        orvane::raise_value_error("F3COpen: eye keys must have shape (T, 2)");
    if (E == 0) raise_empty_argmin();
    const double ehyst = np::float_of(self.attr("ehyst"));
    nb::object prev = self.attr("prev");
    int64_t pv[2] = {-1, -1};
    if (!prev.is_none()) pv[0] = prev_index(prev, 0, E), pv[1] = prev_index(prev, 1, E);
    auto L = np::empty<int64_t>({T}), R = np::empty<int64_t>({T});
    {
        nb::gil_scoped_release nogil;
        std::vector<double> dist(E);
        const size_t stride = kv.shape[1];
        for (size_t i = 0; i < T; ++i) {
            int64_t js[2];
            for (int s = 0; s < 2; ++s) {
                for (size_t k = 0; k < E; ++k) dist[k] = std::fabs(kv.data[i * stride + s] - P.data[k]);
                js[s] = opener_pick(dist.data(), E, pv[s], ehyst);
            }
            pv[0] = js[0], pv[1] = js[1];
            L.data[i] = js[0];
            R.data[i] = js[1];
        }
    }
    self.attr("prev") = nb::make_tuple(pv[0], pv[1]);
    self.attr("done") = n;
    return nb::make_tuple(rows, L.obj, R.obj);
}

static nb::object xb_pop_step(nb::handle self, nb::handle EYE4) {
    nb::object st = self.attr("_base")();
    if (st.is_none()) return st;
    nb::object rows = st[0], base = st[1], track = st[2], n = st[3];
    nb::object xc = self.attr("xc");
    nb::object kfl = self.attr("emap").attr("key")(track);
    nb::object keys = xc.attr("keys")(kfl);
    nb::object l0 = xc.attr("lev")(np::item(kfl, nb::make_tuple(all(), 0)));
    nb::object l1 = xc.attr("lev")(np::item(kfl, nb::make_tuple(all(), 1)));
    nb::object level =
        np::asarray(nb::float_(0.5) * (l0 + l1), "float64");
    self.attr("_eyes")(rows, base, keys, EYE4);
    auto lv = np::view<double>(level);
    const size_t T = nb::len(rows), E = nb::len(nb::object(self.attr("P")));
    if (lv.size != T) orvane::raise_value_error("F3XBOpen: one key level per row expected");
    if (E == 0) raise_empty_argmin();
    const double ehyst = np::float_of(self.attr("ehyst"));
    nb::object prev = self.attr("prev");
    int64_t pv = prev.is_none() ? -1 : prev_index(prev, 0, E);
    auto L = np::empty<int64_t>({T});
    {
        nb::gil_scoped_release nogil;
        std::vector<double> dist(E);
        for (size_t i = 0; i < T; ++i) {
            for (size_t k = 0; k < E; ++k) dist[k] = std::fabs(lv.data[i] - (double)k);
            pv = opener_pick(dist.data(), E, pv, ehyst);
            L.data[i] = pv;
        }
    }
    self.attr("prev") = nb::make_tuple(pv, pv);
    self.attr("done") = n;
    return nb::make_tuple(rows, L.obj, L.obj.attr("copy")());
}

static nb::object open_pop(nb::handle self, nb::handle EYE4) {
    return keep_pending_on_failure(self, [&] { return open_pop_step(self, EYE4); });
}

static nb::object xb_pop(nb::handle self, nb::handle EYE4) {
    return keep_pending_on_failure(self, [&] { return xb_pop_step(self, EYE4); });
}

void register_opener(nb::module_& m) {
    nb::class_<F3COpen>(m, "F3COpen", nb::dynamic_attr(),
                        "Motion opener: eye-event onsets over incoming motion rows, eye columns and key choice.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<F3COpen> self, nb::handle g, nb::handle emap, nb::handle P, nb::handle d,
               nb::handle c, nb::handle seed, nb::handle shift, nb::handle noise, nb::handle ehyst,
               nb::handle keep_onsets) {
                open_init(self.h, g, emap, P, d, c, seed, shift, noise, ehyst, keep_onsets);
                new (self.p) F3COpen();
            },
            nb::arg("g").none(), nb::arg("emap").none(), nb::arg("P").none(), nb::arg("d").none(),
            nb::arg("c").none(), nb::arg("seed").none(), nb::arg("shift").none(), nb::arg("noise").none(),
            nb::arg("ehyst").none() = 0.95, nb::arg("keep_onsets").none() = 64)
        .def("add", &open_add, nb::arg("rows").none(), nb::arg("fp").none(), nb::arg("fe").none(),
             "Append T motion rows (69 wide) with their feature rows fp (T, m) and fe (T,).")
        .def("_f_need", &open_f_need, nb::arg("hi").none(), "Grow the event track to cover every row below hi.")
        .def("_hazard", &open_hazard, "Onset pass over the rows not yet decided, then trim the prefix sums.")
        .def("_base", &open_base, "Frame step: None, or (rows, base, track, n) of the pending rows.")
        .def("_eyes", &open_eyes, nb::arg("out").none(), nb::arg("Rr").none(), nb::arg("keys").none(),
             nb::arg("EYE4").none(), "Write the 12 eye columns of out in place.")
        .def("pop", &open_pop, nb::arg("EYE4").none(),
             "None, or (rows, left key indices, right key indices) for the rows added since the last pop.");
    nb::class_<F3XBOpen, F3COpen>(m, "F3XBOpen", nb::dynamic_attr(),
                                  "Motion opener with cross-calibrated eyes and one key index for both eyes.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<F3XBOpen> self, nb::args a, nb::handle xc, nb::kwargs kw) {
                // F3COpen's own argument rules, through its bound constructor
                nb::object base_init = nb::type<F3COpen>().attr("__init__");
                nb::list call;
                call.append(self.h);
                for (nb::handle x : a) call.append(x);
                PyObject* r = PyObject_Call(base_init.ptr(), nb::tuple(call).ptr(), kw.ptr());
                if (!r) throw nb::python_error();
                Py_DECREF(r);
                self.h.attr("xc") = xc;
                (void)self.p;
            },
            nb::arg("a"), nb::kw_only(), nb::arg("xc").none(), nb::arg("kw"))
        .def("pop", &xb_pop, nb::arg("EYE4").none(),
             "None, or (rows, key indices, a copy of them) for the rows added since the last pop.");
}

}  // namespace f2u
