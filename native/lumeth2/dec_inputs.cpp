// `build_dec_inputs`: the frame plan of one chunk and its decoder-input rows.
#include "lumeth2/dec_inputs.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "lumeth2/array_kernel_io.hpp"
#include "lumeth2/constants.hpp"
#include "lumeth2/host_module.hpp"

namespace l2 {

namespace {

#if defined(__SSE2__)
// A chunk's rows are some 21 MB, more than the caches keep, and every byte is written
// once and not read again here: streaming stores skip reading each line in before it
// is overwritten. (The stores are made visible by the fence at the end of the fill.)
void put_floats(float* dst, const float* src, size_t n) {
    size_t i = 0;
    for (; i < n && (reinterpret_cast<uintptr_t>(dst + i) & 15) != 0; ++i) dst[i] = src[i];
    for (; i + 4 <= n; i += 4) _mm_stream_ps(dst + i, _mm_loadu_ps(src + i));
    for (; i < n; ++i) dst[i] = src[i];
}
void fill_floats(float* dst, float v, size_t n) {
    size_t i = 0;
    for (; i < n && (reinterpret_cast<uintptr_t>(dst + i) & 15) != 0; ++i) dst[i] = v;
    const __m128 x = _mm_set1_ps(v);
    for (; i + 4 <= n; i += 4) _mm_stream_ps(dst + i, x);
    for (; i < n; ++i) dst[i] = v;
}
void fill_done() { _mm_sfence(); }
#else
void put_floats(float* dst, const float* src, size_t n) { std::memcpy(dst, src, n * sizeof(float)); }
void fill_floats(float* dst, float v, size_t n) { std::fill(dst, dst + n, v); }
void fill_done() {}
#endif

}  // namespace

void fill_dec_rows(float* out, const DecRow* rows, size_t n) {
    constexpr size_t LAT = static_cast<size_t>(LC * PLANE);
    for (size_t k = 0; k < n; ++k) {
        float* row = out + k * static_cast<size_t>(FRAME36);
        put_floats(row, rows[k].cur, LAT);
        put_floats(row + LAT, rows[k].prev, LAT);
        float* ph = row + 2 * LAT;
        for (int p = 0; p < 4; ++p)
            fill_floats(ph + static_cast<size_t>(p) * PLANE, p == rows[k].phase ? 1.0f : 0.0f, PLANE);
    }
    fill_done();
}

namespace {

// A latent as a C-contiguous float32 (LC, PLANE) array; the reshape raises the array
// library's own error for a latent of another size. A latent that already has that
// form (the step's own output) is used as it is.
nb::object latent_rows(nb::handle lat) {
    if (is_ndarray(lat) && dtype_is(lat, "float32")) {
        BufView v(lat, false);
        if (v.c_contiguous() && v.count() == LC * PLANE) return nb::borrow(lat);
    }
    nb::module_ np = np_mod();
    nb::object r = np.attr("reshape")(np.attr("asarray")(lat), nb::make_tuple(LC, PLANE));
    return np.attr("ascontiguousarray")(r, "float32");
}

nb::tuple py_build_dec_inputs(nb::handle lats, nb::handle blk_obj, nb::handle prev_lat) {
    const Py_ssize_t blk = std::max<Py_ssize_t>(as_index(blk_obj), 0);
    const bool have_prev = !prev_lat.is_none();

    // Rows: every latent gives phases 0..3, except the first latent of a stream (no
    // latent before it), which gives phase 3 only. The result is allocated before any
    // latent is read; a count too large for memory fails there, in the array library.
    nb::object n_obj = blk == 0 ? nb::int_(0) : nb::int_(blk) * nb::int_(4) - nb::int_(have_prev ? 0 : 3);
    nb::object xs = np_mod().attr("empty")(nb::make_tuple(n_obj, 36, LH, LW), "float32");
    const Py_ssize_t n = nb::cast<Py_ssize_t>(n_obj);

    // Latents in the order the rows read them: lats[0], then prev_lat (row 0's
    // previous latent), then lats[1] ... lats[blk - 1]; each error is the first one
    // that order meets.
    std::vector<nb::object> keep;  // latents stay alive while the kernel reads them
    std::vector<const float*> lat_ptr;
    const float* prev_ptr = nullptr;
    for (Py_ssize_t j = 0; j < blk; ++j) {
        keep.push_back(latent_rows(lats[nb::int_(j)]));  // the sequence's own IndexError
        lat_ptr.push_back(array_data_ro(keep.back()));
        if (j == 0) {
            if (have_prev) {
                keep.push_back(latent_rows(prev_lat));
                prev_ptr = array_data_ro(keep.back());
            } else {
                prev_ptr = lat_ptr[0];
            }
        }
    }

    std::vector<DecRow> rows;
    rows.reserve(static_cast<size_t>(n));
    for (Py_ssize_t j = 0; j < blk; ++j)
        for (int p = (j == 0 && !have_prev) ? 3 : 0; p < 4; ++p)
            rows.push_back({lat_ptr[j], j > 0 ? lat_ptr[j - 1] : prev_ptr, p});

    float* out = array_data<float>(xs);
    {
        nb::gil_scoped_release nogil;
        fill_dec_rows(out, rows.data(), rows.size());
    }
    return nb::make_tuple(xs, n);
}

}  // namespace

void register_dec_inputs(nb::module_& m) {
    m.def("build_dec_inputs", &py_build_dec_inputs, nb::arg("lats").none(), nb::arg("blk").none(),
          nb::arg("prev_lat").none(),
          "Decoder input rows (n, 36, 90, 52) float32 for one chunk, and n.");
}

}  // namespace l2
