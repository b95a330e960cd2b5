// Sliding PCM buffer of one stream: a growable float32 array addressed by absolute
// sample offsets, compacted in place before it is ever reallocated.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/py.hpp"

namespace l2 {

// Copy n float32 samples from a source with a byte stride into contiguous dst.
void pcm_strided_copy(float* dst, const char* src, ptrdiff_t stride_bytes, size_t n);

class SlidingPCM {
public:
    explicit SlidingPCM(nb::handle minimum_capacity);

    void append(nb::handle pcm);
    void discard_before(nb::handle absolute_sample);
    void allocate(int64_t capacity);
    nb::dict counters() const;
    nb::object live() const;  // read-only view; its base keeps the backing array alive

    int64_t minimum_capacity = 51200;
    nb::object storage;            // numpy float32, length = capacity
    float* data = nullptr;         // storage's first element
    int64_t capacity = 0;
    int64_t start = 0, end = 0;
    int64_t base = 0, fed = 0;
    int64_t appended_samples = 0, moved_samples = 0;
    int64_t allocations = 0, aliased_samples_snapshotted = 0, peak_capacity = 0;

    // The Python references, for cycle collection (traversed, never cleared:
    // `data` points into storage, a float32 array that cannot close a cycle).
    template <class F>
    void each(F f) {
        f(storage);
    }

private:
    void allocate_unlocked(int64_t capacity);
    std::atomic<bool> busy_{false};
};

}  // namespace l2
