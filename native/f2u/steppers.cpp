// Streaming motion heads: the deterministic token-window stepper (DetS) and the
// head/landmark B-spline stepper (HeadL). Both are plain objects with public
// attributes; their state lives in those attributes so a driver can inspect it.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "f2u/constants.hpp"
#include "f2u/heads.hpp"
#include "f2u/motion_glue.hpp"
#include "f2u/steppers.hpp"

namespace f2u {

// ---- DetS ------------------------------------------------------------------

struct DetS {};

static constexpr size_t FRAME = 3 * 768;  // values of one feature frame

void dets_assemble(const std::vector<const float*>& toks, size_t W, size_t C, const std::vector<const float*>& hist,
                   size_t CF, float* feat, float* hwin, bool* valid, bool* tokv) {
    const size_t n = toks.size(), pad = W - n;
    std::memset(feat, 0, W * C * FRAME * sizeof(float));
    for (size_t i = 0; i < n; ++i) std::memcpy(feat + (pad + i) * C * FRAME, toks[i], C * FRAME * sizeof(float));
    std::memset(hwin, 0, W * CF * sizeof(float));
    for (size_t w = 0; w < W; ++w) valid[w] = false, tokv[w] = w >= pad;
    const size_t nh = hist.size();
    for (size_t i = 0; i < nh; ++i) {
        const size_t pos = W - nh + i;
        std::memcpy(hwin + pos * CF, hist[i], CF * sizeof(float));
        valid[pos] = true;
    }
}

static void dets_init(nb::handle self, nb::handle pk, nb::handle idv126, nb::handle noise) {
    self.attr("pk") = pk;
    nb::object a = pk.attr("a");
    self.attr("mu") = np::item(a, "det_mu");
    self.attr("sd") = np::item(a, "det_sd");
    // z-scored in the identity vector's own precision (float64 for non-float input)
    nb::object v = np::numpy().attr("asarray")(idv126);
    nb::object dt = v.attr("dtype");
    if (!nb::cast<bool>(np::numpy().attr("issubdtype")(dt, np::dtype("floating")))) dt = np::dtype("float64");
    v = v.attr("astype")(dt);
    nb::object mu = np::item(a, "det_id_mu").attr("astype")(dt);
    nb::object sd = np::item(a, "det_id_sd").attr("astype")(dt);
    self.attr("idt") = ((v - mu) / sd).attr("astype")(np::dtype("float32"));
    self.attr("feats") = nb::list();
    self.attr("hist") = nb::list();
    self.attr("rec") = noise.is_none() ? nb::none() : nb::object(orvane::py_import("builtins").attr("list")(noise));
    self.attr("rng") = np::numpy().attr("random").attr("default_rng")(0);
}

static nb::object dets_x0(nb::handle self) {
    nb::object rec = self.attr("rec");
    const nb::object fD = np::py_int(self.attr("pk").attr("flow_D"));
    if (!rec.is_none()) {
        nb::object blk = rec.attr("pop")(0);  // IndexError once the recording is used up
        return np::asarray(blk, "float32").attr("reshape")(1, fD);
    }
    return self.attr("rng").attr("standard_normal")(nb::make_tuple(1, fD)).attr("astype")(np::dtype("float32"));
}

// y[:, cols] = vals through numpy (its index and broadcast rules and errors).
static void scatter_cols(nb::handle y, nb::handle cols, nb::handle vals) {
    nb::object key = nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), cols);
    if (PyObject_SetItem(y.ptr(), key.ptr(), vals.ptr()) != 0) throw nb::python_error();
}

static nb::object dets_step(nb::handle self, nb::handle feat4) {
    nb::object pk = self.attr("pk");
    const int64_t W = np::to_i64(pk.attr("W_TOK"));
    const int64_t F = np::to_i64(pk.attr("F"));
    const size_t C = (size_t)C_TOKEN;
    if (W < 1) orvane::raise_value_error("DetS: the pack's det_window must be at least 1");
    if (F < 0) orvane::raise_value_error("DetS: the pack's det_F must not be negative");
    // the window arrays must be addressable: numpy's refusal, before any index arithmetic
    if ((glue::i128)W * C * FRAME * 4 > PTRDIFF_MAX || (glue::i128)W * C * F * 4 > PTRDIFF_MAX)
        orvane::raise_value_error(
            "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.");

    // 1. the new token joins the window (before anything can fail)
    nb::object tok = np::asarray(feat4, "float32");
    tok = np::item(tok, nb::make_tuple(nb::none(), nb::ellipsis()));
    nb::object feats_seq = self.attr("feats");
    feats_seq.attr("append")(tok);
    if ((int64_t)nb::len(feats_seq) > W) feats_seq.attr("pop")(0);

    nb::list feats = glue::as_list(feats_seq);
    nb::object hist_seq = self.attr("hist");
    nb::list hist = glue::as_list(hist_seq);
    const size_t n = nb::len(feats), CF = C * (size_t)F;
    const size_t nh = std::min(nb::len(hist), n);
    std::vector<np::View<float>> tv, hv;
    std::vector<const float*> tp, hp;
    bool fits = true;
    for (nb::handle t : feats) {
        tv.push_back(np::view<float>(t));
        const auto& s = tv.back().shape;
        fits = fits && s.size() == 4 && s[0] == 1 && s[1] == C && s[2] == 3 && s[3] == 768;
        tp.push_back(tv.back().data);
    }
    auto feat = np::empty<float>({1, (size_t)W * C, 3, 768});
    if (!fits) {
        // numpy places the window and reports the misfit in its own words
        nb::object joined = np::numpy().attr("concatenate")(feats, nb::arg("axis") = 1);
        nb::object key = nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()),
                                        nb::slice(nb::int_((W - (int64_t)n) * (int64_t)C), nb::none(), nb::none()));
        if (PyObject_SetItem(feat.obj.ptr(), key.ptr(), joined.ptr()) != 0) throw nb::python_error();
        orvane::raise_value_error("could not broadcast input array into the feature window: a token must be " +
                                  std::to_string(C) + " frames of 3 x 768 values");
    }
    for (size_t i = nb::len(hist) - nh; i < nb::len(hist); ++i) {
        hv.push_back(np::view<float>(hist[i]));
        if (hv.back().size != CF)
            orvane::raise_value_error("DetS: history entry of " + std::to_string(hv.back().size) +
                                      " values, expected " + std::to_string(CF));
        hp.push_back(hv.back().data);
    }
    auto hwin = np::empty<float>({1, (size_t)W, CF});
    auto valid = np::empty<bool>({1, (size_t)W});
    auto tokv = np::empty<bool>({1, (size_t)W});
    {
        nb::gil_scoped_release nogil;
        dets_assemble(tp, (size_t)W, C, hp, CF, feat.data, hwin.data, valid.data, tokv.data);
    }
    tv.clear();

    nb::dict feeds;
    feeds["feat"] = feat.obj;
    feeds["hist"] = hwin.obj;
    feeds["valid"] = valid.obj;
    feeds["tokv"] = tokv.obj;
    feeds["idv"] = self.attr("idt");
    auto outs = glue::unpack(glue::run(pk.attr("s_det"), feeds), 2);
    nb::object det = outs[0], h = outs[1];

    auto y = glue::zeros<float>({C, (size_t)F});
    scatter_cols(y.obj, pk.attr("det_dims"), np::item(det, nb::int_(0)));
    nb::object sflow = pk.attr("s_dflow");
    if (!sflow.is_none()) {
        nb::object x0 = self.attr("_x0")();
        nb::dict ff;
        ff["h"] = h;
        ff["x0"] = x0;
        nb::object fo = np::item(glue::run(sflow, ff), nb::int_(0));
        nb::object fd = pk.attr("flow_dims");
        nb::object rows = np::numpy().attr("asarray")(fo).attr("reshape")(-1, nb::len(fd));
        rows = np::item(rows, nb::slice(nb::none(), nb::int_((int64_t)C), nb::none()));
        scatter_cols(y.obj, fd, rows);
    }
    hist_seq.attr("append")(y.obj.attr("reshape")(-1).attr("copy")());
    if ((int64_t)nb::len(hist_seq) > W) hist_seq.attr("pop")(0);

    return nb::make_tuple(y.obj * self.attr("sd") + self.attr("mu"), h);
}

// ---- HeadL -----------------------------------------------------------------

struct HeadL {};

static nb::object head_int(nb::handle h, const char* key) { return np::py_int(np::item(h, key)); }

static void headl_init(nb::handle self, nb::handle pk, nb::handle idv129, nb::handle noise, nb::handle cap_tokens,
                       nb::handle keep_tokens) {
    self.attr("pk") = pk;
    self.attr("noise") = noise;
    nb::object hcfg = pk.attr("h");
    for (const char* k : {"p", "nk", "S", "D", "pf", "nkf", "ncode", "Lc"}) self.attr(k) = head_int(hcfg, k);
    nb::object eps = np::item(hcfg, "eps");
    nb::object hid_shape = np::item(hcfg, "hid_shape");
    nb::object a = pk.attr("a");
    nb::object np_ = np::numpy();
    nb::object v1 = np::asarray(idv129, "float64");
    // a 2-D vector would broadcast into a wrong-shaped identity and pose feed
    if (nb::len(nb::object(v1.attr("shape"))) != 1 || nb::len(v1) != 129)
        orvane::raise_value_error("HeadL: idv129 must be one-dimensional with 129 values, got shape " +
                                  orvane::py_str(v1.attr("shape")));
    nb::object v = np::item(v1, nb::make_tuple(nb::none(), nb::ellipsis()));
    nb::object f32 = np::dtype("float32");
    nb::object vf = v.attr("astype")(f32);
    nb::object mu = np::asarray(np::item(a, "h2l_id_mu"), "float32");
    nb::object sd = np::asarray(np::item(a, "h2l_id_sd"), "float32");
    self.attr("idt") = (vf - mu) / sd;
    self.attr("pose_deg") =
        np::item(v, nb::make_tuple(nb::slice(nb::none(), nb::none(), nb::none()), nb::slice(126, 129, 1)))
            .attr("astype")(f32);
    self.attr("l_mu") = f32(np::item(a, "h2l_l_mu"));
    self.attr("l_sd") = f32(np::item(a, "h2l_l_sd"));
    nb::object cap = np::py_int(cap_tokens), keep = np::py_int(keep_tokens);
    // Compaction can only make room when 0 <= keep < cap; anything else would
    // write past the caches.
    nb::int_ zero(0);
    if (!(cap > zero) || keep < zero || !(keep < cap))
        orvane::raise_value_error("HeadL: need 0 <= keep_tokens < cap_tokens, got keep_tokens=" + orvane::py_str(keep) +
                                  ", cap_tokens=" + orvane::py_str(cap));
    self.attr("cap") = cap;
    self.attr("keep") = keep;
    // cache rows q + n * cap + S in Python ints: numpy refuses a negative or
    // unaddressable count in its own words
    nb::object S = self.attr("S");
    auto cache = [&](const char* q, const char* n) {
        nb::object rows = self.attr(q) + self.attr(n) * cap + S;
        return np_.attr("zeros")(nb::make_tuple(1, rows, 3), nb::arg("dtype") = f32);
    };
    self.attr("cps") = cache("p", "nk");
    self.attr("cpf") = cache("pf", "nkf");
    nb::object lg = orvane::py_import("math").attr("log")(np::py_float(eps));  // ValueError for eps <= 0
    self.attr("lprev") = f32(lg);
    self.attr("hid") = np_.attr("zeros")(hid_shape, nb::arg("dtype") = f32);
    self.attr("code") = 0;
    self.attr("k") = 0;
    self.attr("kb") = 0;
    self.attr("nx0") = nb::int_(1) + nb::int_(3) * self.attr("nkf") + nb::int_(3) * self.attr("nk");
}

// Row count of a control-point cache, which must be laid out (1 or more, rows, 3).
static size_t cache_len(nb::handle buf) {
    nb::object shp = np::numpy().attr("shape")(buf);
    auto dim = [&](int i) { return np::to_i64(np::item(shp, nb::int_(i))); };
    if (nb::len(shp) != 3 || dim(0) < 1 || dim(2) != 3)
        orvane::raise_value_error("HeadL: a cache must have shape (1, rows, 3), got " + orvane::py_str(shp));
    return (size_t)dim(1);
}

// Rows r0 .. r1 - 1 of the cache's first (only) batch entry, as numpy slices them.
static nb::object cache_rows(nb::handle buf, glue::i128 r0, glue::i128 r1) {
    return np::item(buf, nb::make_tuple(nb::int_(0), nb::slice(glue::py_i64(glue::to_i64(r0, "HeadL: row")),
                                                                glue::py_i64(glue::to_i64(r1, "HeadL: row")),
                                                                nb::none())));
}

void headl_sample(const double* w, size_t q, const double* sl, const int64_t* j0, double* out) {
    for (size_t r = 0; r < 4; ++r)
        for (size_t d = 0; d < 3; ++d) {
            double acc = 0.0;
            for (size_t i = 0; i <= q; ++i) acc += w[r * (q + 1) + i] * sl[(size_t)(j0[r] + (int64_t)i) * 3 + d];
            out[r * 3 + d] = acc;
        }
}

static nb::object headl_rows(nb::handle self, nb::handle buf, nb::handle n_h, nb::handle D_h, nb::handle p_h) {
    using glue::i128;
    const i128 n = np::to_i64(n_h), Dk = np::to_i64(D_h), q = np::to_i64(p_h);
    const i128 k = np::to_i64(self.attr("k")), kb = np::to_i64(self.attr("kb")), S = np::to_i64(self.attr("S"));
    if (Dk == 0) orvane::raise(PyExc_ZeroDivisionError, "integer division or modulo by zero");
    if (q < 0) orvane::raise_value_error("HeadL: negative spline degree");
    i128 j[4];
    auto u = np::empty<double>({4});
    for (int r = 0; r < 4; ++r) {
        const i128 t = C_TOKEN * k + r, fl = glue::floor_div(t, Dk);
        j[r] = fl - n * kb;
        u.data[r] = (double)(t - fl * Dk) / (double)Dk;  // (t mod Dk) / Dk, Python's mod
    }
    const i128 jmin = std::min({j[0], j[1], j[2], j[3]}), jmax = std::max({j[0], j[1], j[2], j[3]});
    const size_t R = cache_len(buf);
    const i128 lo = S + jmin, hi = S + jmax + q;  // rows lo .. hi
    glue::checked_index(lo, 0, R);
    glue::checked_index(hi, 0, R);
    auto sl = np::view<double>(cache_rows(buf, lo, hi + 1));  // only these rows become float64
    nb::object W = mod_get("bweights")(u.obj, glue::py_i64((int64_t)q));
    auto wv = np::view<double>(W);
    if (wv.size != 4 * (size_t)(q + 1)) orvane::raise_value_error("HeadL: unexpected spline weight shape");
    int64_t j0[4];
    for (int r = 0; r < 4; ++r) j0[r] = (int64_t)(j[r] - jmin);
    auto out = np::empty<double>({4, 3});
    {
        nb::gil_scoped_release nogil;
        headl_sample(wv.data, (size_t)q, sl.data, j0, out.data);
    }
    return out.obj;
}

static void headl_compact(nb::handle self) {
    using glue::i128;
    const i128 k = np::to_i64(self.attr("k")), kb = np::to_i64(self.attr("kb"));
    const i128 keep = np::to_i64(self.attr("keep")), S = np::to_i64(self.attr("S"));
    const i128 sh = k - kb - keep;
    if (sh <= 0) return;
    struct Track {
        const char* name;
        i128 n, q;
    } tracks[2] = {{"cps", np::to_i64(self.attr("nk")), np::to_i64(self.attr("p"))},
                   {"cpf", np::to_i64(self.attr("nkf")), np::to_i64(self.attr("pf"))}};
    for (auto& tr : tracks) {
        auto b = glue::mut<float>(self.attr(tr.name), "HeadL cache");
        const i128 R = b.shape.size() == 3 ? (i128)b.shape[1] : 0;
        const i128 a = tr.n * sh, end = S + tr.n * (k - kb) + tr.q;  // one past the last written row
        if (b.shape.size() != 3 || b.shape[2] != 3 || a < 0 || a > end || end > R)
            orvane::raise_value_error(std::string("HeadL: ") + tr.name + " does not hold the rows to compact");
        nb::gil_scoped_release nogil;
        float* d = b.data;  // batch entry 0
        std::memmove(d, d + (size_t)a * 3, (size_t)(end - a) * 3 * sizeof(float));
        std::memset(d + (size_t)(end - a) * 3, 0, (size_t)(R - (end - a)) * 3 * sizeof(float));
    }
    self.attr("kb") = glue::py_i64(glue::to_i64(kb + sh, "HeadL: kb"));
}

// c = row e; for each increment: c = c + inc[:, i]; row e + 1 + i = c. The
// running value has numpy's type of float32 + increment (float64 increments
// are summed in float64 and rounded on each store).
template <class T>
static void integrate(float* rows, size_t e, const T* inc, size_t n_inc) {
    T c[3] = {(T)rows[e * 3], (T)rows[e * 3 + 1], (T)rows[e * 3 + 2]};
    for (size_t i = 0; i < n_inc; ++i)
        for (int d = 0; d < 3; ++d) {
            c[d] = c[d] + inc[i * 3 + d];
            rows[(e + 1 + i) * 3 + d] = (float)c[d];
        }
}

static void integrate_track(nb::handle self, const char* name, glue::i128 e, int64_t n, nb::handle inc_obj) {
    auto b = glue::mut<float>(self.attr(name), "HeadL cache");
    if (b.shape.size() != 3 || b.shape[2] != 3)
        orvane::raise_value_error("HeadL: a cache must have shape (1, rows, 3)");
    const size_t R = b.shape[1];
    const size_t e0 = glue::checked_index(e, 1, R);
    if (n > 0) glue::checked_index(e + n, 1, R);
    nb::object np_ = np::numpy();
    nb::object arr = np_.attr("asarray")(inc_obj);
    nb::object shp = arr.attr("shape");
    // increments (1, >= n, 3): increment i of the batch's first entry
    auto dim = [&](int i) { return np::to_i64(np::item(shp, nb::int_(i))); };
    if (nb::len(shp) != 3 || dim(0) != 1 || dim(2) != 3)
        orvane::raise_value_error(std::string("HeadL: draw model increments for ") + name + " of shape " +
                                  orvane::py_str(shp) + ", expected (1, " + std::to_string(n) + ", 3)");
    if (dim(1) < n) glue::checked_index(dim(1), 1, (size_t)dim(1));
    nb::object rt = np_.attr("result_type")(np::dtype("float32"), arr.attr("dtype"));
    if (rt.equal(np::dtype("float64"))) {
        auto v = np::view<double>(arr);
        nb::gil_scoped_release nogil;
        integrate<double>(b.data, e0, v.data, (size_t)n);
    } else if (rt.equal(np::dtype("float32"))) {
        auto v = np::view<float>(arr);
        nb::gil_scoped_release nogil;
        integrate<float>(b.data, e0, v.data, (size_t)n);
    } else {
        orvane::raise_type_error(std::string("HeadL: draw model increments of dtype ") +
                                 orvane::py_str(arr.attr("dtype")) + " cannot accumulate into a float32 cache");
    }
}

static nb::object headl_step(nb::handle self, nb::handle feat4, nb::handle h) {
    using glue::i128;
    if (self.attr("k") - self.attr("kb") >= self.attr("cap") - nb::int_(1)) self.attr("_compact")();
    const int64_t nk = np::to_i64(self.attr("nk")), nkf = np::to_i64(self.attr("nkf"));
    const i128 S = np::to_i64(self.attr("S")), p = np::to_i64(self.attr("p")), pf = np::to_i64(self.attr("pf"));
    const int64_t k = np::to_i64(self.attr("k")), kb = np::to_i64(self.attr("kb"));
    const i128 es = S + (i128)nk * ((i128)k - kb) + p - 1, ef = S + (i128)nkf * ((i128)k - kb) + pf - 1;
    nb::object pk = self.attr("pk");
    nb::object np_ = np::numpy();
    nb::object f32 = np::dtype("float32");

    nb::dict cf;
    cf["f"] = np::asarray(feat4, "float32").attr("reshape")(1, 1, 4, 3, 768);
    cf["hh"] = np::asarray(h, "float32").attr("reshape")(1, 1, -1);
    auto hist_of = [&](const char* name, i128 e) {
        nb::object buf = self.attr(name);
        if (S > 0) {  // rows e - S + 1 .. e must all be there
            const size_t R = cache_len(buf);
            glue::checked_index(e - S + 1, 1, R);
            glue::checked_index(e, 1, R);
        }
        nb::object r = cache_rows(buf, e - S + 1, e + 1);
        return np_.attr("array")(r, nb::arg("dtype") = f32).attr("reshape")(1, 1, glue::py_i64((int64_t)S), 3);
    };
    cf["shist"] = hist_of("cps", es);
    cf["fhist"] = hist_of("cpf", ef);
    nb::object lprev = self.attr("lprev");
    cf["lprev"] = np_.attr("array")(lprev, nb::arg("dtype") = f32).attr("reshape")(1, 1);
    auto tok = np::empty<int64_t>({1, 1});
    tok.data[0] = k;
    cf["tok"] = tok.obj;
    cf["idt"] = self.attr("idt");
    cf["hid"] = self.attr("hid");
    cf["pose_deg"] = self.attr("pose_deg");
    auto k0 = np::empty<float>({1});
    k0.data[0] = k == 0 ? 1.0f : 0.0f;
    cf["k0"] = k0.obj;
    auto co = glue::unpack(glue::run(pk.attr("s_hctx"), cf), 3);
    nb::object g = co[0], pr = co[2];
    self.attr("hid") = co[1];

    // ZeroDivisionError from % when Lc is 0 and codes are on
    if (PyObject_IsTrue(self.attr("ncode").ptr()) && (glue::py_i64(k) % self.attr("Lc")).equal(nb::int_(0)))
        self.attr("code") = self.attr("noise").attr("code")(pr);
    nb::object noise = self.attr("noise");
    nb::object u = noise.attr("u")();
    nb::object x0 = noise.attr("x0")(self.attr("nx0"));
    nb::list lpn_l;
    lpn_l.append((lprev - self.attr("l_mu")) / self.attr("l_sd"));
    nb::list code_l;
    code_l.append(self.attr("code"));
    nb::dict df_feeds;
    df_feeds["g"] = g;
    df_feeds["code"] = np_.attr("array")(code_l, nb::arg("dtype") = np::dtype("int64"));
    df_feeds["u"] = u;
    df_feeds["x0"] = x0;
    df_feeds["lpn"] = np_.attr("array")(lpn_l, nb::arg("dtype") = f32);
    auto dout = glue::unpack(glue::run(pk.attr("s_hdraw"), df_feeds), 3);

    integrate_track(self, "cps", es, nk, dout[1]);
    integrate_track(self, "cpf", ef, nkf, dout[0]);
    self.attr("lprev") = f32(np::item(np_.attr("asarray")(dout[2]).attr("reshape")(-1), nb::int_(0)));

    nb::object dkf = nb::int_(C_TOKEN).floor_div(self.attr("nkf"));  // ZeroDivisionError when nkf is 0
    nb::object rs = self.attr("_rows")(self.attr("cps"), nk, self.attr("D"), glue::py_i64((int64_t)p));
    nb::object rf = self.attr("_rows")(self.attr("cpf"), nkf, dkf, glue::py_i64((int64_t)pf));
    nb::object res = rs + rf;
    self.attr("k") = self.attr("k") + nb::int_(1);
    return res;
}

void register_steppers(nb::module_& m) {
    nb::class_<DetS>(m, "DetS", nb::dynamic_attr(),
                     "Deterministic motion stepper over a sliding window of feature tokens.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<DetS> self, nb::handle pk, nb::handle idv126, nb::handle noise) {
                dets_init(self.h, pk, idv126, noise);
                new (self.p) DetS();
            },
            nb::arg("pk").none(), nb::arg("idv126").none(), nb::arg("noise").none() = nb::none())
        .def("_x0", &dets_x0, "Next (1, flow_D) float32 noise block for the flow decoder.")
        .def("step", &dets_step, nb::arg("feat4").none(),
             "One token of 4 feature frames -> (4 x F de-normalised motion rows, context h).");
    nb::class_<HeadL>(m, "HeadL", nb::dynamic_attr(), "Head and landmark stepper: two integrated B-spline tracks.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<HeadL> self, nb::handle pk, nb::handle idv129, nb::handle noise,
               nb::handle cap_tokens, nb::handle keep_tokens) {
                headl_init(self.h, pk, idv129, noise, cap_tokens, keep_tokens);
                new (self.p) HeadL();
            },
            nb::arg("pk").none(), nb::arg("idv129").none(), nb::arg("noise").none(),
            nb::arg("cap_tokens").none() = 1024, nb::arg("keep_tokens").none() = 64)
        .def("_compact", &headl_compact, "Drop the oldest tokens of both control-point caches.")
        .def("_rows", &headl_rows, nb::arg("buf").none(), nb::arg("n").none(), nb::arg("D").none(),
             nb::arg("p").none(), "Sample one track at the current token's four frames: float64 (4, 3).")
        .def("step", &headl_step, nb::arg("feat4").none(), nb::arg("h").none(),
             "One token -> float64 (4, 3) track values of its four frames.");
}

}  // namespace f2u
