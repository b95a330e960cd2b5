// The lumeth-2 chunk renderer: cuts a growing 16 kHz PCM stream into audio
// windows, runs each through the model chain and hands out numbered RGB888
// frame records (first chunk 21 frames, later chunks 32).
#pragma once
#include <cstdint>

#include "lumeth2/constants.hpp"
#include "lumeth2/host_module.hpp"

namespace l2 {

// Window arithmetic of chunk ci (counted from the stream's reset). Callers keep
// |ci| <= MAX_CHUNK_INDEX (check_chunk_index) so none of it can overflow.
constexpr int64_t MAX_CHUNK_INDEX = int64_t(1) << 40;  // ~1.8e12 s of audio
constexpr int64_t chunk_start_pix(int64_t ci) { return ci <= 1 ? 0 : (ci - 1) * STEADY_PX; }
constexpr int64_t chunk_need(int64_t ci) {
    const int64_t s0 = chunk_start_pix(ci) * SPF;
    const int64_t a = s0 + WIN_SAMPLES, b = (ci + 1) * SPC;
    return a < b ? a : b;
}
// Chunks a flush must have run, counted from the reset, for `fed` samples.
constexpr int64_t flush_chunk_count(int64_t fed) {
    if (fed <= 0) return 1;
    // ceil(fed / SPF) without forming fed + SPF - 1, which could overflow
    const int64_t end_fi = fed / SPF + (fed % SPF != 0) - 1;
    const int64_t m = (end_fi + 12 + 31) / 32;  // end_fi >= 0: truncation is floor
    return m > 1 ? m : 1;
}
// OverflowError unless |ci| <= MAX_CHUNK_INDEX.
int64_t check_chunk_index(int64_t ci);

// In-place float32 gain (no clipping), as the encoder input is scaled.
void scale_f32(float* x, int64_t n, float gain);

struct Renderer {
    nb::object chain, cc;
    int64_t rgb_threads = 1;
    nb::object pcm;           // _SlidingPCM of the current stream
    nb::object buf;           // its live view, refreshed by sync_audio
    int64_t buf_base = 0, fed_samples = 0, audio_compaction_samples = 0;
    int64_t ci = 0;
    nb::object hist, prev_lat;
    int64_t px_frame = 3;
    double c_wall = 0.0;
    int64_t c_n = 0;
    // Records of chunks already rendered by a ready/flush call that then failed
    // on a later chunk: handed out first by the next call, dropped by reset.
    nb::list pending;

    // The Python references, for cycle collection.
    template <class F>
    void each(F f) {
        f(chain), f(cc), f(pcm), f(buf), f(hist), f(prev_lat), f(pending);
    }

    void reset();
    void sync_audio();
    void feed(nb::handle block);
    nb::object window(int64_t ci) const;
    nb::list process_chunk(int64_t ci);
    void trim_audio();
    void advance_one();
    nb::list take_pending();
    nb::list ready_chunks();
    nb::list flush_chunks();
    nb::object rtf() const;
};

}  // namespace l2
