// The render clock: steady-state timing of one offline render.
#pragma once
#include <optional>

#include "open/open_glue.hpp"

namespace op {

struct RenderClock {
    std::optional<double> t0, t1;  // performance-counter readings, seconds
    long long n = 0;               // frames counted

    void start_if_unset() {
        if (!t0) t0 = nb::cast<double>(time_call("perf_counter"));
    }
    void frame() {
        t1 = nb::cast<double>(time_call("perf_counter"));
        n += 1;
    }
    // RenderStats(frames, render_seconds, render_fps), or None when nothing was measured.
    nb::object stats() const {
        if (!t0 || !t1 || n == 0) return nb::none();
        double seconds = *t1 - *t0;
        if (!(seconds >= 1e-9)) seconds = 1e-9;
        return mod_get("RenderStats")(n, seconds, static_cast<double>(n) / seconds);
    }
};

}  // namespace op
