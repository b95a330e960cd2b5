// The LiteRT model chain: encoder, tokenizer, latent step with its 16-latent
// history, and the batch-16/batch-8 frame decoders, reached through the
// interpreter's signature runners.
#pragma once
#include <cstdint>

#include "lumeth2/host_module.hpp"

namespace l2 {

// Kernels over a LatentHistory laid out (1, LC, CTX, PLANE), float32, C order.
// Every slot of every channel receives that channel of canon (LC x PLANE).
void hist_fill(float* hist, const float* canon);
// Per channel: slots 1..CTX-1 move down one place, slot CTX-1 receives lat's channel.
// lat must not overlap hist.
void hist_shift(float* hist, const float* lat);

struct LitertChain {
    nb::object its;                     // list of interpreters, kept for the chain's life
    nb::object enc, tok, step, dec16, dec8;  // signature runners
    nb::object hist_key, atok_key;      // names of the step's two inputs
    nb::object canon;                   // float32 (LC, PLANE), the chain's own copy

    // The Python references, for cycle collection.
    template <class F>
    void each(F f) {
        for (nb::object* o : {&its, &enc, &tok, &step, &dec16, &dec8, &hist_key, &atok_key, &canon}) f(*o);
    }
};

// The bundle member behind a model the runtime refused to load (the error the
// chain's construction raised for a copy staged out of the bundle: a cut or
// corrupted model), or an empty string for any other error.
std::string unloadable_member(nb::handle exc);

// Small numpy helpers shared with the renderer.
nb::module_ np_mod();
nb::object np_float32();

}  // namespace l2
