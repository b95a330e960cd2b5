// The audio encoder: one trunk run over a fixed window, trunk frames resampled
// onto the block's feature frames, one head run, three layer-group means per
// frame rounded through half precision.
#include <cmath>
#include <string>
#include <vector>

#include "f2u/constants.hpp"
#include "f2u/nparray.hpp"
#include "f2u/numeric.hpp"
#include "f2u/pyfile.hpp"
#include "f2u/sources.hpp"

namespace f2u {

struct EncPair {};
struct Enc {};

// Fractional trunk position of feature frame gi for a window starting at
// win_start. Integer terms are exact; the sum runs in double as written.
static double trunk_pos(int64_t gi, int64_t win_start) {
    const int64_t half = TW / 2;
    int64_t f0 = 0;
    if (gi >= TW) {
        int64_t q = gi / half;  // floor division (gi >= 200 here)
        f0 = (q - 1) * half;
    }
    return (double)(f0 * HOP - win_start) / 80.0 + (double)(gi - f0) * SP8;
}

// Rows of x (B x 640) from trunk output tr (640 x LT). Returns -1 on success or
// the frame j whose lower trunk index falls outside [0, LT).
static ptrdiff_t enc_rows_kernel(const float* tr, int64_t LT, int64_t b0, int64_t B, int64_t win_start, float* x,
                                 int64_t* bad_i0) {
    for (int64_t j = 0; j < B; ++j) {
        const double p = trunk_pos(b0 + j, win_start);
        const double fl = std::floor(p);
        // numpy would wrap a negative index to the end of the trunk output
        if (!(fl >= 0.0) || !(fl < (double)LT)) {
            *bad_i0 = std::isfinite(fl) ? (int64_t)fl : 0;
            return (ptrdiff_t)j;
        }
        const int64_t i0 = (int64_t)fl;
        const double al = p - (double)i0;
        const int64_t i1 = std::min<int64_t>(i0 + 1, LT - 1);
        float* row = x + j * 640;
        const double wa = 1.0 - al;
        for (int64_t c = 0; c < 640; ++c) {
            const double v = wa * (double)tr[c * LT + i0] + al * (double)tr[c * LT + i1];
            row[c] = f16_round((float)v);
        }
    }
    return -1;
}

// Group means over layers [a, b) of each entry (L x D, float32), rounded
// through half: out is N x 3 x D float16 bits.
static void enc_groups_kernel(const float* emb, size_t N, size_t L, size_t D, uint16_t* out) {
    std::vector<float> r(L * D), acc(D);
    for (size_t n = 0; n < N; ++n) {
        const float* e = emb + n * L * D;
        for (size_t i = 0; i < L * D; ++i) r[i] = f16_round(e[i]);
        for (size_t g = 0; g < 3; ++g) {
            const size_t a = (size_t)GROUPS[g][0], b = (size_t)GROUPS[g][1];
            std::fill(acc.begin(), acc.end(), 0.0f);
            for (size_t l = a; l < b; ++l)
                for (size_t d = 0; d < D; ++d) acc[d] += r[l * D + d];
            const float cnt = (float)(b - a);
            uint16_t* o = out + (n * 3 + g) * D;
            for (size_t d = 0; d < D; ++d) o[d] = f32_to_f16_bits(acc[d] / cnt);
        }
    }
}

// Frame indices beyond this are refused: every sample position of a block
// then stays far inside int64.
static constexpr int64_t ENC_FRAME_LIMIT = int64_t(1) << 52;

static nb::object enc_block(nb::handle self, nb::handle aud, nb::handle b0h, nb::handle Bh, nb::handle Rh) {
    nb::object pk = self.attr("pk");
    nb::object tot = nb::steal(PyNumber_Add(b0h.ptr(), Bh.ptr()));
    if (!tot.is_valid()) throw nb::python_error();
    tot = nb::steal(PyNumber_Add(tot.ptr(), Rh.ptr()));
    if (!tot.is_valid()) throw nb::python_error();
    const int64_t end_frame = np::int_of(tot);
    const int64_t b0 = np::to_i64(b0h), B = np::to_i64(Bh);
    if (B < 1) orvane::raise_value_error("Enc.block: B must be at least 1, got " + std::to_string(B));
    if (b0 < -ENC_FRAME_LIMIT || b0 > ENC_FRAME_LIMIT || B > ENC_FRAME_LIMIT || end_frame < -ENC_FRAME_LIMIT ||
        end_frame > ENC_FRAME_LIMIT)
        orvane::raise(PyExc_OverflowError, "Enc.block: frame index out of range");
    const int64_t win_end = end_frame * HOP;
    const int64_t win_start = win_end - SWIN;

    nb::object buf = aud.attr("window")(win_start, win_end);
    nb::object z = mod_get("zscore_native")(buf);
    nb::dict feed;
    feed[pk.attr("trunk_in")] = np::item(z, nb::none());  // z[None]: a leading batch axis
    nb::list names;
    names.append(pk.attr("trunk_out"));
    nb::object res = pk.attr("s_trunk").attr("run")(names, feed);
    nb::object tr_obj = np::item(np::item(res, nb::int_(0)), nb::int_(0));
    auto tr = np::view<float>(tr_obj);
    if (tr.ndim() != 2)
        orvane::raise_value_error("trunk output entry must be (channels, frames), got shape " +
                                  orvane::py_str(tr.keep.attr("shape")));
    if (tr.shape[0] != 640)
        orvane::raise_value_error("could not broadcast input array from shape (" + std::to_string(tr.shape[0]) +
                                  ",) into shape (640,)");
    const int64_t LT = (int64_t)tr.shape[1];
    auto x = np::empty<float>({(size_t)B, 640});
    ptrdiff_t bad;
    int64_t bad_i0 = 0;
    {
        nb::gil_scoped_release nogil;
        bad = enc_rows_kernel(tr.data, LT, b0, B, win_start, x.data, &bad_i0);
    }
    if (bad >= 0)
        orvane::raise_index_error("Enc.block: trunk index " + std::to_string(bad_i0) + " of frame " +
                                  std::to_string(b0 + bad) + " is outside the trunk output of " +
                                  std::to_string(LT) + " frames");

    nb::dict hfeed;
    hfeed["x"] = x.obj;
    nb::list hnames;
    hnames.append("emb");
    nb::object emb_obj = np::item(pk.attr("s_head").attr("run")(hnames, hfeed), nb::int_(0));
    auto emb = np::view<float>(emb_obj);
    if (emb.ndim() < 2)
        orvane::raise_index_error("Enc.block: head output entries must have a layer axis");
    const size_t N = emb.shape[0], L = emb.shape[1];
    if (N == 0) orvane::raise_value_error("need at least one array to stack");
    if (L < 12)
        orvane::raise_value_error("Enc.block: head output has " + std::to_string(L) +
                                  " layers, the layer groups need 12");
    size_t D = 1;
    std::vector<size_t> tail;
    for (size_t i = 2; i < emb.ndim(); ++i) {
        D *= emb.shape[i];
        tail.push_back(emb.shape[i]);
    }
    std::vector<size_t> oshape = {N, 3};
    oshape.insert(oshape.end(), tail.begin(), tail.end());
    auto out = np::empty<uint16_t>(oshape);
    {
        nb::gil_scoped_release nogil;
        enc_groups_kernel(emb.data, N, L, D, out.data);
    }
    return out.obj.attr("view")(np::dtype("float16"));
}

void register_encoder(nb::module_& m) {
    nb::class_<EncPair>(m, "EncPair", nb::dynamic_attr(),
                        "A second pair of encoder sessions over a pack, with its own thread count.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<EncPair> self, nb::handle pk, nb::handle threads) {
                nb::object sess = mod_get("ort_session");
                nb::object root = pk.attr("root");
                nb::object graphs = np::item(pk.attr("j"), "graphs");
                nb::object s_trunk = sess(path_join(root, np::item(graphs, "enc_trunk")), threads);
                self.h.attr("s_trunk") = s_trunk;
                graphs = np::item(pk.attr("j"), "graphs");
                nb::object s_head = sess(path_join(root, np::item(graphs, "enc_head")), threads);
                self.h.attr("s_head") = s_head;
                nb::object tin = pk.attr("trunk_in"), tout = pk.attr("trunk_out");
                self.h.attr("trunk_in") = tin;
                self.h.attr("trunk_out") = tout;
                new (self.p) EncPair();
            },
            nb::arg("pk").none(), nb::arg("threads").none() = 1);
    nb::class_<Enc>(m, "Enc", nb::dynamic_attr(), "Audio encoder over a Pack or an EncPair.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<Enc> self, nb::handle pk) {
                self.h.attr("pk") = pk;
                new (self.p) Enc();
            },
            nb::arg("pk").none())
        .def("block", &enc_block, nb::arg("aud").none(), nb::arg("b0").none(), nb::arg("B").none(), nb::arg("R").none(),
             "Features of B frames from b0 with look-ahead R: float16 (N, 3, D).");
}

}  // namespace f2u
