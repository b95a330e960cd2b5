// Serve loop. All input goes through the module's `read_exact` and all output
// through `_OUT`/`emit`, looked up at call time, so the READY line and the frame
// records share one buffered stream and a caller may rebind the streams.
#include "lumeth2/serve.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "lumeth2/constants.hpp"
#include "lumeth2/startup_py.hpp"
#include "lumeth2/stdio.hpp"

namespace l2 {

using namespace nb::literals;

namespace {

// A legal block may hold 2^24 samples, which completes ~650 chunks (~17 GiB of
// frames). The block is fed in slices of one steady chunk of audio, and the frames
// each slice completes are written before the next slice is fed, so memory stays
// at about one chunk of frames; the records and their order are unchanged because
// ready_chunks renders exactly the chunks whose audio is complete.
constexpr int64_t FEED_SLICE = SPC;

nb::object clock_now() {
    // the module's `time` binding when present, so a test may patch the clock
    nb::module_ host = host_module();
    nb::object t = nb::hasattr(host, "time") ? host.attr("time") : nb::object(orvane::py_import("time"));
    return t.attr("perf_counter")();
}

std::string fmt(nb::handle value, const char* spec) {
    return nb::cast<std::string>(sp::builtins().attr("format")(value, spec));
}

nb::object ready_json(nb::handle renderer) {
    nb::dict obj;
    obj["fps"] = FPS;
    obj["width"] = FW;
    obj["height"] = FH;
    obj["sample_rate"] = SR;
    nb::object cc = nb::getattr(renderer, "cc", nb::none());
    obj["color"] = mod_get("color_descriptor")(cc);
    nb::object seps = nb::make_tuple(",", ":");
    return orvane::py_import("json").attr("dumps")(obj, "separators"_a = seps);
}

// The 4-byte word as unsigned little-endian, read through the buffer protocol so
// that a rebound reader may hand back any bytes-like object.
uint32_t le_word(nb::handle word) {
    Py_buffer view;
    if (PyObject_GetBuffer(word.ptr(), &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    unsigned char b[4] = {0, 0, 0, 0};
    std::memcpy(b, view.buf, view.len < 4 ? (size_t)view.len : 4);
    PyBuffer_Release(&view);
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

void emit_frames(nb::handle frames) { mod_get("emit")(frames); }

void stats_line(nb::handle renderer) {
    nb::object rtf = renderer.attr("rtf")();
    nb::object c_n = renderer.attr("_c_n");
    double wall = nb::cast<double>(renderer.attr("_c_wall"));
    double n = std::max(nb::cast<double>(c_n), 1.0);
    double mean = wall / n;
    // a zero measured chunk time (coarse clock, stand-in renderer) reads as "inf"
    // instead of failing the whole stream on a division by zero
    double fps = mean != 0.0 ? (double)STEADY_PX / mean : HUGE_VAL;
    sp::elog("rtf=" + fmt(rtf, ".3f") + " chunks=" + sp::text(c_n) + " fps=" + fmt(nb::float_(fps), ".1f"));
}

}  // namespace

nb::object serve(nb::handle renderer, nb::handle chain, nb::handle nm) {
    (void)chain;
    std::string line = "READY " + nb::cast<std::string>(ready_json(renderer)) + "\n";
    out_write_whole(nb::bytes(line.data(), line.size()));
    out_flush();
    sp::elog("ready " + std::to_string(FW) + "x" + std::to_string(FH) + " @" + std::to_string(FPS) +
             "fps  model=" + sp::text(nm));

    nb::object np = orvane::py_import("numpy");
    nb::object f32 = np.attr("float32");
    nb::object read_exact = mod_get("read_exact");
    nb::object t_last = clock_now();

    for (;;) {
        nb::object word = read_exact(4);
        if (word.is_none() || nb::len(word) < 4) break;
        uint32_t n = le_word(word);
        if (n == FLUSH_CMD) {
            emit_frames(renderer.attr("flush_chunks")());
            static const char marker[4] = {'\xff', '\xff', '\xff', '\xff'};
            out_write_whole(nb::bytes(marker, 4));
            out_flush();
            continue;
        }
        if (n == RESET_CMD) {
            renderer.attr("reset")();
            continue;
        }
        if (n > MAX_BLOCK) {
            sp::elog("bad step size " + std::to_string(n) + " \xe2\x80\x94 protocol desync");
            return nb::int_(1);
        }
        nb::object block;
        if (n == 0) {
            block = np.attr("empty")(0, "dtype"_a = f32);
        } else {
            nb::object raw = read_exact(4 * (int64_t)n);
            if (raw.is_none() || nb::len(raw) < 4 * (size_t)n) break;  // partial block: not fed
            block = np.attr("frombuffer")(raw, "dtype"_a = f32);      // read-only view, no copy
        }
        nb::object feed = renderer.attr("feed");
        nb::object ready = renderer.attr("ready_chunks");
        if ((int64_t)n <= FEED_SLICE) {
            feed(block);
            emit_frames(ready());
        } else {
            for (int64_t at = 0; at < (int64_t)n; at += FEED_SLICE) {
                int64_t end = std::min<int64_t>(at + FEED_SLICE, (int64_t)n);
                feed(block[nb::slice(nb::int_(at), nb::int_(end), nb::none())]);
                emit_frames(ready());
            }
        }
        block.reset();

        nb::object now = clock_now();
        if (nb::cast<double>(now - t_last) > STATS_INTERVAL_S && !renderer.attr("rtf")().is_none()) {
            stats_line(renderer);
            t_last = now;
        }
    }
    sp::elog("stdin closed \xe2\x80\x94 exiting");
    return nb::int_(0);
}

void register_serve(nb::module_& m) {
    m.def("_serve", [](nb::object renderer, nb::object chain, nb::object nm) { return serve(renderer, chain, nm); },
          nb::arg("renderer").none(), nb::arg("chain").none(), nb::arg("nm").none(),
          "Serve the stdio frame protocol until input ends (0) or loses its framing (1).");
}

}  // namespace l2
