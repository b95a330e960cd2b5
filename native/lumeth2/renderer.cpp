// Renderer: the chunk scheduler of the lumeth-2 engine. The numeric stages
// (tempo change, decoder inputs, pixel conversion, the PCM buffer) are looked up
// on the module at call time, so a caller that rebinds one is honoured.
#include "lumeth2/renderer.hpp"

#include <nanobind/ndarray.h>

#include <chrono>
#include <cstring>

#include "common/gc.hpp"
#include "lumeth2/chain.hpp"

namespace l2 {

using namespace nb::literals;

namespace {

using CF32v = nb::ndarray<const float, nb::ndim<1>, nb::device::cpu>;
using F32c = nb::ndarray<float, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

double now_s() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int64_t as_i64(nb::handle h) { return nb::cast<int64_t>(nb::int_(h)); }

// A pixel-thread count of any size: the setting has no upper bound, and a count
// past the frames of a chunk works as that many, so a huge one saturates.
int64_t thread_count(nb::handle h) {
    nb::int_ v(h);
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow) return overflow > 0 ? INT64_MAX : 1;
    return n;
}

constexpr double kSteadyChunkSeconds = double(STEADY_PX) / double(FPS);  // 1.6 s

}  // namespace

int64_t check_chunk_index(int64_t ci) {
    if (ci > MAX_CHUNK_INDEX || ci < -MAX_CHUNK_INDEX) orvane::raise(PyExc_OverflowError, "chunk index out of range");
    return ci;
}

void scale_f32(float* x, int64_t n, float gain) {
    for (int64_t i = 0; i < n; ++i) x[i] *= gain;
}

void Renderer::sync_audio() {
    buf = pcm.attr("live");
    buf_base = as_i64(pcm.attr("base"));
    fed_samples = as_i64(pcm.attr("fed"));
    audio_compaction_samples = as_i64(pcm.attr("moved_samples"));
}

void Renderer::reset() {
    pending = nb::list();
    pcm = mod_get("_SlidingPCM")();
    sync_audio();
    ci = 0;
    hist = chain.attr("new_hist")();
    prev_lat = nb::none();
    px_frame = 3;
    c_wall = 0.0;
    c_n = 0;
}

void Renderer::feed(nb::handle block) {
    pcm.attr("append")(block);
    sync_audio();
}

nb::object Renderer::window(int64_t c) const {
    const int64_t s0 = chunk_start_pix(check_chunk_index(c)) * SPF;
    int64_t hi = s0 + WIN_SAMPLES;
    hi = std::min(hi, (c + 1) * SPC);
    hi = std::min(hi, fed_samples);
    nb::object w = np_mod().attr("zeros")(WIN_SAMPLES, "dtype"_a = np_float32());
    if (hi > s0) {
        if (s0 < buf_base) orvane::raise_runtime_error("consumed audio context requested");
        const int64_t cnt = hi - s0;  // 1 .. WIN_SAMPLES
        // The cached view and counters are public attributes: never trust them
        // past the view itself.
        const int64_t len = int64_t(nb::len(buf));
        int64_t off = 0;
        if (__builtin_sub_overflow(s0, buf_base, &off) || off > len || cnt > len - off)
            orvane::raise_runtime_error("audio window lies beyond the buffered samples");
        CF32v src;
        if (!nb::try_cast(buf, src, false)) {
            // Not a float32 vector (a caller replaced the view): let numpy convert.
            w[nb::slice(int64_t(0), cnt)] = buf[nb::slice(off, off + cnt)];
            return w;
        }
        float* dst = nb::cast<F32c>(w, false).data();
        const float* sp = src.data();
        const int64_t st = src.stride(0);
        nb::gil_scoped_release nogil;
        if (st == 1) {
            std::memcpy(dst, sp + off, sizeof(float) * size_t(cnt));
        } else {
            for (int64_t i = 0; i < cnt; ++i) dst[i] = sp[(off + i) * st];
        }
    }
    return w;
}

nb::list Renderer::process_chunk(int64_t c) {
    const double t0 = now_s();
    check_chunk_index(c);
    const int64_t blk = c == 0 ? CHUNK0_LAT : STEADY_LAT;
    const int64_t row_base = c == 0 ? 0 : CHUNK0_LAT;

    nb::object tempo = mod_get("tempo_wsola")(window(c));
    F32c t;
    if (nb::try_cast(tempo, t, false)) {
        float* p = t.data();
        const int64_t n = int64_t(t.shape(0));
        nb::gil_scoped_release nogil;
        scale_f32(p, n, 3.0f);
    } else {
        // `tempo *= 3.0` on whatever a rebound tempo stage returned
        PyObject* r = PyNumber_InPlaceMultiply(tempo.ptr(), nb::float_(3.0).ptr());
        if (!r) throw nb::python_error();
        tempo = nb::steal(r);
    }

    nb::object feats = chain.attr("run_enc")(tempo);
    nb::object tok = chain.attr("run_tok")(feats);
    nb::object run_step = chain.attr("run_step"), shift_hist = chain.attr("shift_hist");
    nb::list lats;
    for (int64_t j = 0; j < blk; ++j) {
        nb::object lat = run_step(hist, tok[nb::int_(row_base + j)]);
        shift_hist(hist, lat);
        lats.append(lat);
    }

    nb::object built = mod_get("build_dec_inputs")(lats, blk, prev_lat);
    nb::object xs = built[0], n_obj = built[1];
    const int64_t n = as_i64(n_obj);
    // n frames give at most n + PRESENT_DELAY_FRAMES records: never let the index wrap.
    int64_t last = 0;
    if (__builtin_add_overflow(px_frame, n, &last) ||
        __builtin_add_overflow(last, PRESENT_DELAY_FRAMES, &last))
        orvane::raise(PyExc_OverflowError, "frame index out of range");
    nb::object px = chain.attr("run_dec_frames")(xs, n_obj);
    prev_lat = lats[blk - 1];

    nb::object u8 = mod_get("px_to_rgb888_chunk")(px, cc, rgb_threads);
    u8.attr("setflags")("write"_a = false);
    nb::object flat = u8.attr("reshape")(n, FRAME_BYTES);

    // px_frame moves only once every record exists, so a failed chunk leaves it alone.
    nb::list frames;
    int64_t idx = px_frame;
    for (int64_t k = 0; k < n; ++k) {
        nb::object rgb = flat[nb::int_(k)];
        const int reps = (c == 0 && k == 0) ? 1 + int(PRESENT_DELAY_FRAMES) : 1;
        for (int r = 0; r < reps; ++r) frames.append(nb::make_tuple(idx++, rgb));
    }
    px_frame = idx;

    c_wall += now_s() - t0;
    c_n += 1;
    return frames;
}

void Renderer::trim_audio() {
    pcm.attr("discard_before")(chunk_start_pix(ci) * SPF);
    sync_audio();
}

void Renderer::advance_one() {
    // A negative chunk number (only by assignment) would count up through
    // chunks no stream has: refuse instead of rendering them.
    if (ci < 0) orvane::raise_value_error("chunk index out of range");
    pending.extend(process_chunk(ci));
    ci += 1;
    trim_audio();
}

nb::list Renderer::take_pending() {
    nb::list out = pending;
    pending = nb::list();
    return out;
}

nb::list Renderer::ready_chunks() {
    while (fed_samples >= chunk_need(check_chunk_index(ci))) advance_one();
    return take_pending();
}

nb::list Renderer::flush_chunks() {
    const int64_t n_chunks = flush_chunk_count(fed_samples);
    while (ci < n_chunks) advance_one();
    return take_pending();
}

nb::object Renderer::rtf() const {
    if (c_n == 0) return nb::none();
    return nb::float_((c_wall / double(c_n)) / kSteadyChunkSeconds);
}

void register_renderer(nb::module_& m) {
    nb::class_<Renderer>(m, "Renderer", nb::type_slots(orvane::gc_slots<Renderer>()),
                         "Chunk scheduler of the lumeth-2 engine: float32 PCM at 16 kHz in, "
                         "numbered RGB888 frame records out.")
        .def("__init__",
             [](Renderer* self, nb::object chain, nb::object cc) {
                 Renderer r;
                 r.chain = std::move(chain);
                 r.cc = std::move(cc);
                 r.rgb_threads = thread_count(mod_get("rgb_threads")());
                 r.reset();
                 new (self) Renderer(std::move(r));
             },
             "chain"_a, "cc"_a = nb::none())
        .def_rw("chain", &Renderer::chain)
        .def_rw("cc", &Renderer::cc, nb::arg("value").none())
        .def_rw("rgb_threads", &Renderer::rgb_threads)
        .def_rw("_pcm", &Renderer::pcm)
        .def_rw("buf", &Renderer::buf)
        .def_rw("buf_base", &Renderer::buf_base)
        .def_rw("fed_samples", &Renderer::fed_samples)
        .def_rw("audio_compaction_samples", &Renderer::audio_compaction_samples)
        .def_rw("ci", &Renderer::ci)
        .def_rw("hist", &Renderer::hist)
        .def_rw("prev_lat", &Renderer::prev_lat, nb::arg("value").none())
        .def_rw("px_frame", &Renderer::px_frame)
        .def_rw("_c_wall", &Renderer::c_wall)
        .def_rw("_c_n", &Renderer::c_n)
        .def("reset", &Renderer::reset, "Start a new stream: empty audio, chunk 0, fresh history, index 3.")
        .def("feed", &Renderer::feed, "pcm"_a.none(), "Append a block of samples; renders nothing.")
        .def("ready_chunks", &Renderer::ready_chunks,
             "Render every chunk whose audio is complete; their frame records, in order, after "
             "any that a failed call had already rendered.")
        .def("flush_chunks", &Renderer::flush_chunks,
             "Render, on zero-padded windows, the chunks still needed to cover all fed audio "
             "(records held back by a failed call first).")
        .def("rtf", &Renderer::rtf, "Mean chunk wall time over 1.6 s; None before the first chunk.")
        .def_static("_need", [](int64_t c) { return chunk_need(check_chunk_index(c)); }, "ci"_a)
        .def("_window", &Renderer::window, "ci"_a)
        .def("_process_chunk", &Renderer::process_chunk, "ci"_a)
        .def("_trim_audio", &Renderer::trim_audio)
        .def("_sync_audio", &Renderer::sync_audio);
}

}  // namespace l2
