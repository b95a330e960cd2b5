// Decoder inputs: one row of 36 planes (90 x 52) per output frame: the frame's
// latent (16 planes), the latent before it (16 planes) and a one-hot phase (4 planes).
#pragma once
#include <cstddef>
#include <cstdint>

namespace l2 {

// One row of the frame plan: pointers to the two latents (LC x PLANE float32 each,
// channel-major) and the phase 0..3.
struct DecRow {
    const float* cur;
    const float* prev;
    int phase;
};

// Fills n rows of FRAME36 float32 values each; every value of `out` is written.
void fill_dec_rows(float* out, const DecRow* rows, size_t n);

}  // namespace l2
