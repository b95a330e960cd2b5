// `_SlidingPCM`: appends with amortised growth, front discards, in-place
// compaction, shrink after bursts, and a guard against appending its own memory.
#include "lumeth2/pcm_buffer.hpp"

#include <nanobind/ndarray.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/gc.hpp"
#include "lumeth2/array_kernel_io.hpp"
#include "lumeth2/host_module.hpp"

namespace l2 {

void pcm_strided_copy(float* dst, const char* src, ptrdiff_t stride_bytes, size_t n) {
    if (stride_bytes == static_cast<ptrdiff_t>(sizeof(float))) {
        std::memcpy(dst, src, n * sizeof(float));
        return;
    }
    for (size_t i = 0; i < n; ++i)
        std::memcpy(dst + i, src + static_cast<ptrdiff_t>(i) * stride_bytes, sizeof(float));
}

namespace {

// Exactly the interpreter's int (bool and int subclasses refused), as int64; values
// beyond int64 saturate (they only ever mean "more than any buffer holds").
bool exact_int(nb::handle h, int64_t* out) {
    if (!PyLong_CheckExact(h.ptr())) return false;
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(h.ptr(), &overflow);
    if (overflow > 0) v = LLONG_MAX;
    else if (overflow < 0) v = LLONG_MIN;
    *out = v;
    return true;
}

// A float32 array of `cap` samples whose memory belongs to this module, not to the
// array library: the array does not own its data, so nothing (not even a resize
// with the reference check off) can move it while `data` points into it.
nb::object new_storage(int64_t cap, float** data) {
    if (cap > static_cast<int64_t>(PY_SSIZE_T_MAX / sizeof(float))) {
        PyErr_NoMemory();
        throw nb::python_error();
    }
    float* p = static_cast<float*>(std::malloc(static_cast<size_t>(cap > 0 ? cap : 1) * sizeof(float)));
    if (!p) {
        PyErr_NoMemory();
        throw nb::python_error();
    }
    nb::capsule owner(p, [](void* q) noexcept { std::free(q); });
    const size_t shape[1] = {static_cast<size_t>(cap)};
    nb::object arr = nb::ndarray<nb::numpy, float, nb::ndim<1>>(p, 1, shape, owner).cast();
    *data = p;
    return arr;
}

// One mutating call at a time: the copies run without the GIL, so a second thread
// calling into the same buffer meanwhile would see half-moved state.
class Busy {
public:
    explicit Busy(std::atomic<bool>& flag) : flag_(flag) {
        if (flag_.exchange(true)) orvane::raise_runtime_error("_SlidingPCM is in use by another thread");
    }
    ~Busy() { flag_.store(false); }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;

private:
    std::atomic<bool>& flag_;
};

}  // namespace

SlidingPCM::SlidingPCM(nb::handle minimum_capacity_obj) {
    int64_t v = 0;
    if (!exact_int(minimum_capacity_obj, &v) || v <= 0)
        orvane::raise_value_error("positive capacity required");
    minimum_capacity = v;
    storage = new_storage(0, &data);
}

void SlidingPCM::allocate(int64_t cap) {
    Busy busy(busy_);
    allocate_unlocked(cap);
}

void SlidingPCM::allocate_unlocked(int64_t cap) {
    const int64_t live_n = end - start;
    if (cap < live_n) orvane::raise_value_error("capacity below the live sample count");
    // Allocation failure propagates before anything changes.
    float* p = nullptr;
    nb::object fresh = new_storage(cap, &p);
    {
        nb::gil_scoped_release nogil;
        if (live_n > 0) std::memcpy(p, data + start, static_cast<size_t>(live_n) * sizeof(float));
    }
    moved_samples += live_n;
    storage = std::move(fresh);
    data = p;
    capacity = cap;
    start = 0;
    end = live_n;
    allocations += 1;
    peak_capacity = std::max(peak_capacity, cap);
}

void SlidingPCM::append(nb::handle pcm) {
    // A float32 array is used as it is; anything else goes through the array
    // library's conversion.
    nb::object arr = is_ndarray(pcm) && dtype_is(pcm, "float32") ? nb::borrow(pcm)
                                                                  : np_mod().attr("asarray")(pcm, "float32");
    BufView src(arr, false);
    const int64_t n = src.count();
    if (n == 0) return;
    Busy busy(busy_);
    if (src.ndim() != 1) orvane::raise_value_error("one-dimensional PCM required");

    const char* lo;
    const char* hi;
    src.extent(lo, hi);
    const char* s_lo = reinterpret_cast<const char*>(data);
    const char* s_hi = s_lo + capacity * static_cast<int64_t>(sizeof(float));
    const bool aliased = capacity > 0 && lo < s_hi && s_lo < hi;

    // An overlapping block is snapshotted first: compaction or reallocation below
    // would otherwise move or free the samples it is about to read.
    std::vector<float> snapshot;
    const char* from = static_cast<const char*>(src.data());
    ptrdiff_t stride = src.stride(0);
    if (aliased) {
        snapshot.resize(static_cast<size_t>(n));
        pcm_strided_copy(snapshot.data(), from, stride, snapshot.size());
        from = reinterpret_cast<const char*>(snapshot.data());
        stride = sizeof(float);
    }

    const int64_t live_n = end - start;
    if (capacity - end < n) {
        if (capacity >= live_n + n) {
            {
                nb::gil_scoped_release nogil;
                std::memmove(data, data + start, static_cast<size_t>(live_n) * sizeof(float));
            }
            moved_samples += live_n;
            start = 0;
            end = live_n;
        } else {
            allocate_unlocked(std::max({live_n + n, 2 * capacity, minimum_capacity}));
        }
    }
    {
        nb::gil_scoped_release nogil;
        pcm_strided_copy(data + end, from, stride, static_cast<size_t>(n));
    }
    if (aliased) aliased_samples_snapshotted += n;
    end += n;
    fed += n;
    appended_samples += n;
}

void SlidingPCM::discard_before(nb::handle absolute_sample) {
    int64_t a = 0;
    if (!exact_int(absolute_sample, &a) || a < 0)
        orvane::raise_value_error("nonnegative absolute sample offset required");
    Busy busy(busy_);
    const int64_t live_n = end - start;
    int64_t drop = a > base ? a - base : 0;  // a >= 0 and base >= 0: no overflow
    drop = std::min(drop, live_n);
    start += drop;
    base += drop;
    const int64_t now_live = end - start;
    if (capacity > minimum_capacity && now_live <= capacity / 4)
        allocate_unlocked(std::max(minimum_capacity, 2 * now_live));
}

nb::dict SlidingPCM::counters() const {
    nb::dict d;
    d["live_samples"] = end - start;
    d["backing_bytes"] = capacity * 4;
    d["peak_backing_bytes"] = peak_capacity * 4;
    d["input_samples_copied"] = appended_samples;
    d["retained_samples_moved"] = moved_samples;
    d["aliased_samples_snapshotted"] = aliased_samples_snapshotted;
    d["allocations"] = allocations;
    d["absolute_base"] = base;
    d["absolute_fed"] = fed;
    return d;
}

nb::object SlidingPCM::live() const {
    // A numpy slice: its base is the backing array, which it keeps alive even after
    // the buffer has moved on to a new one. Compaction may still overwrite it in
    // place, so holders refresh it after every append or discard.
    nb::object v = storage[nb::slice(start, end)];
    v.attr("flags").attr("writeable") = false;
    return v;
}

void register_pcm_buffer(nb::module_& m) {
    nb::class_<SlidingPCM>(m, "_SlidingPCM",
                           nb::type_slots(orvane::gc_slots<SlidingPCM, orvane::gc_keep<SlidingPCM>>()))
        .def(nb::init<nb::handle>(), nb::arg("minimum_capacity").none() = 51200)
        .def("append", &SlidingPCM::append, nb::arg("pcm").none())
        .def("discard_before", &SlidingPCM::discard_before, nb::arg("absolute_sample").none())
        .def("counters", &SlidingPCM::counters)
        .def("_allocate", &SlidingPCM::allocate, nb::arg("capacity"))
        .def_prop_ro("live", &SlidingPCM::live)
        .def_prop_ro("storage", [](const SlidingPCM& b) { return b.storage; })
        .def_ro("minimum_capacity", &SlidingPCM::minimum_capacity)
        .def_ro("start", &SlidingPCM::start)
        .def_ro("end", &SlidingPCM::end)
        .def_ro("base", &SlidingPCM::base)
        .def_ro("fed", &SlidingPCM::fed)
        .def_ro("appended_samples", &SlidingPCM::appended_samples)
        .def_ro("moved_samples", &SlidingPCM::moved_samples)
        .def_ro("allocations", &SlidingPCM::allocations)
        .def_ro("aliased_samples_snapshotted", &SlidingPCM::aliased_samples_snapshotted)
        .def_ro("peak_capacity", &SlidingPCM::peak_capacity);
}

}  // namespace l2
