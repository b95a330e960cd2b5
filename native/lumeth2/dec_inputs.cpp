// `build_dec_inputs`: the frame plan of one chunk and its decoder-input rows.
#include "lumeth2/dec_inputs.hpp"

#include <cstring>
#include <vector>

#include "lumeth2/array_kernel_io.hpp"
#include "lumeth2/constants.hpp"
#include "lumeth2/host_module.hpp"

namespace l2 {



void fill_dec_rows(float* out, const DecRow* rows, size_t n) {
    constexpr size_t LAT = static_cast<size_t>(LC * PLANE);
    for (size_t k = 0; k < n; ++k) {
        float* row = out + k * static_cast<size_t>(FRAME36);
        std::memcpy(row, rows[k].cur, LAT * sizeof(float));
        std::memcpy(row + LAT, rows[k].prev, LAT * sizeof(float));
        float* ph = row + 2 * LAT;
        for (int p = 0; p < 4; ++p) {
            float v = p == rows[k].phase ? 1.0f : 0.0f;
            float* plane = ph + static_cast<size_t>(p) * PLANE;
            for (int64_t i = 0; i < PLANE; ++i) plane[i] = v;
        }
    }
}


namespace {

// A latent as a C-contiguous float32 (LC, PLANE) array; the reshape raises the array
// library's own error for a latent of another size.
nb::object latent_rows(nb::handle lat) {
    nb::module_ np = np_mod();
    nb::object r = np.attr("reshape")(np.attr("asarray")(lat), nb::make_tuple(LC, PLANE));
    return np.attr("ascontiguousarray")(r, "float32");
}

nb::tuple py_build_dec_inputs(nb::handle lats, nb::handle blk_obj, nb::handle prev_lat) {
    const Py_ssize_t blk = as_index(blk_obj);
    const bool have_prev = !prev_lat.is_none();

    // Frame plan: every latent gives phases 0..3, except the first latent of a
    // stream (no latent before it), which gives phase 3 only.
    std::vector<std::pair<Py_ssize_t, int>> plan;
    for (Py_ssize_t j = 0; j < blk; ++j)
        for (int p = (j == 0 && !have_prev) ? 3 : 0; p < 4; ++p) plan.emplace_back(j, p);
    const Py_ssize_t n = static_cast<Py_ssize_t>(plan.size());

    std::vector<nb::object> keep;  // latents stay alive while the kernel reads them
    std::vector<const float*> lat_ptr;
    for (Py_ssize_t j = 0; j < blk; ++j) {
        keep.push_back(latent_rows(lats[nb::int_(j)]));  // the sequence's own IndexError
        lat_ptr.push_back(array_data_ro(keep.back()));
    }
    const float* prev_ptr = nullptr;
    if (blk > 0) {
        if (have_prev) {
            keep.push_back(latent_rows(prev_lat));
            prev_ptr = array_data_ro(keep.back());
        } else {
            prev_ptr = lat_ptr[0];
        }
    }

    std::vector<DecRow> rows;
    rows.reserve(plan.size());
    for (auto [j, p] : plan) rows.push_back({lat_ptr[j], j > 0 ? lat_ptr[j - 1] : prev_ptr, p});

    nb::object xs = np_empty({n, 36, LH, LW}, "float32");
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
