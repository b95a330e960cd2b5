// `Avatar`: an open avatar owning one engine adapter, and its render loop.
#pragma once
#include "open/open_glue.hpp"

namespace op {

struct Avatar {
    nb::object engine;
    nb::object engine_id;
    bool closed = false;
    nb::object render_stats = nb::none();

    // Closes the engine at most once; `closed` is set first, so a failing close()
    // is never retried. Errors of close() propagate.
    void release() {
        if (closed) return;
        closed = true;
        engine.attr("close")();
    }
    ~Avatar();
    void finalise();  // release for the finaliser: ordinary errors swallowed
    template <class F>
    void each(F f) {
        f(engine);
        f(engine_id);
        f(render_stats);
    }
};

}  // namespace op
