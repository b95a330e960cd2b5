// Bank retrieval: a streaming nearest-neighbour choice of one mouth-bank entry
// per frame, with hysteresis towards the previous choice.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "f2u/heads.hpp"
#include "f2u/nparray.hpp"
#include "f2u/shape_text.hpp"
#include "f2u/numeric.hpp"

namespace f2u {

// Distances of one query row to every bank entry: the Euclidean norm of
// (q - kb[n]) / sd[n] over the K key dimensions, the squares summed in numpy's
// pairwise order (as np.linalg.norm reduces the last axis), float64.
static void row_distances(const double* q, const double* kb, const double* sd, size_t N, size_t K, double* sq,
                          double* d) {
    for (size_t n = 0; n < N; ++n) {
        const double* kr = kb + n * K;
        const double* sr = sd + n * K;
        for (size_t k = 0; k < K; ++k) {
            const double v = (q[k] - kr[k]) / sr[k];
            sq[k] = v * v;
        }
        d[n] = std::sqrt(pairwise_sum(sq, K));
    }
}

// The walk over T query rows. prev_idx < 0: no previous choice; otherwise
// prev_idx is the bank row of the previous choice and prev_val the value it was
// given as (a negative index counts from the end, and is handed on as given).
// Returns the last choice (prev_val when T == 0). N >= 1.
// argmin as numpy takes it: the first minimum, or the first NaN when there is one.
static int64_t retr_kernel(const double* q, size_t T, const double* kb, const double* sd, size_t N, size_t K,
                           double hyst, int64_t prev_idx, int64_t prev_val, int64_t* out) {
    std::vector<double> sq(K), d(N);
    for (size_t i = 0; i < T; ++i) {
        row_distances(q + i * K, kb, sd, N, K, sq.data(), d.data());
        size_t j = 0;
        if (!std::isnan(d[0]))
            for (size_t n = 1; n < N; ++n) {
                if (std::isnan(d[n])) {
                    j = n;
                    break;
                }
                if (d[n] < d[j]) j = n;
            }
        // the previous entry stays unless another is nearer by more than the margin
        if (!(prev_idx >= 0 && d[(size_t)prev_idx] <= d[j] / hyst)) prev_idx = prev_val = (int64_t)j;
        out[i] = prev_val;
    }
    return prev_val;
}

struct Retr {};

// (x - mu) @ proj through numpy, so a projected key matches the bank's own
// projection to the bit and numpy reports the shape errors.
static nb::object project(nb::handle x, nb::handle mu, nb::handle proj) {
    nb::object np_ = np::numpy();
    return np_.attr("matmul")(np_.attr("subtract")(x, mu), proj);
}

static void retr_init(nb::handle self, nb::handle idn, nb::handle hyst) {
    nb::object kb = idn.attr("bank_key");
    nb::object proj = idn.attr("bank_proj"), mu = idn.attr("bank_mu");
    if (!proj.is_none()) kb = project(kb, mu, proj);
    self.attr("Kb") = kb;
    self.attr("proj") = proj;
    self.attr("mu") = mu;
    self.attr("sd") = idn.attr("bank_sd");
    self.attr("hyst") = hyst;
    self.attr("prev") = nb::none();
}

static nb::object retr_call(nb::handle self, nb::handle keys) {
    nb::object q = np::asarray(keys, "float64");
    nb::object proj = self.attr("proj");
    if (!proj.is_none()) {
        // a single key column would broadcast against the mean: refuse any other width
        nb::tuple qs = nb::cast<nb::tuple>(q.attr("shape")), ps = nb::cast<nb::tuple>(proj.attr("shape"));
        if (qs.size() == 2 && ps.size() == 2 && !qs[1].equal(ps[0]))
            orvane::raise_value_error("Retr: query keys of width " + orvane::py_str(qs[1]) +
                                      " do not fit a projection from width " + orvane::py_str(ps[0]));
        q = project(q, self.attr("mu"), proj);
    }
    auto Q = np::view<double>(q);
    if (Q.ndim() != 2)
        orvane::raise_value_error("Retr: query keys must be two-dimensional (frames x key values), got shape " +
                                  shape_text(Q.shape));
    auto Kb = np::view<double>(self.attr("Kb"));
    if (Kb.ndim() != 2) orvane::raise_value_error("Retr: bank keys must be two-dimensional, got shape " + shape_text(Kb.shape));
    const size_t T = Q.shape[0], N = Kb.shape[0], K = Kb.shape[1];
    if (Q.shape[1] != K)
        orvane::raise_value_error("operands could not be broadcast together with shapes " +
                                  shape_text({T, 1, Q.shape[1]}, ",") + " " + shape_text({N, K}, ",") + " ");
    auto out = np::empty<int64_t>({T});
    if (T == 0) return out.obj;  // no row: prev is neither read nor changed
    if (N == 0) orvane::raise_value_error("attempt to get argmin of an empty sequence");
    // the spread as it broadcasts against one (N, K) block of differences; only
    // numbers divide (np.asarray would turn None into NaN)
    nb::object sd = np::numpy().attr("asarray")(self.attr("sd"));
    const std::string kind = orvane::py_str(sd.attr("dtype").attr("kind"));
    if (kind != "b" && kind != "i" && kind != "u" && kind != "f")
        orvane::raise_type_error("Retr: the bank spread must be numeric, got dtype " +
                                 orvane::py_str(sd.attr("dtype")));
    nb::object sd_b = np::numpy().attr("broadcast_to")(np::asarray(sd, "float64"), nb::make_tuple(N, K));
    auto SD = np::view<double>(sd_b);
    const double hyst = np::float_of(self.attr("hyst"));
    nb::object prev_o = self.attr("prev");
    int64_t prev_idx = -1, prev_val = -1;
    if (!prev_o.is_none()) {
        prev_val = prev_idx = np::to_i64(prev_o);
        if (prev_idx < -(int64_t)N || prev_idx >= (int64_t)N)
            orvane::raise_index_error("index " + std::to_string(prev_idx) +
                                      " is out of bounds for axis 1 with size " + std::to_string(N));
        if (prev_idx < 0) prev_idx += (int64_t)N;
    }
    int64_t last;
    {
        nb::gil_scoped_release nogil;
        last = retr_kernel(Q.data, T, Kb.data, SD.data, N, K, hyst, prev_idx, prev_val, out.data);
    }
    self.attr("prev") = nb::int_(last);
    return out.obj;
}

void register_retrieval(nb::module_& m) {
    nb::class_<Retr>(m, "Retr", nb::dynamic_attr(),
                     "Streaming mouth-bank retrieval: nearest bank key per frame, with hysteresis.")
        .def(
            "__init__",
            [](nb::pointer_and_handle<Retr> self, nb::handle idn, nb::handle hyst) {
                retr_init(self.h, idn, hyst);
                new (self.p) Retr();
            },
            nb::arg("idn").none(), nb::arg("hyst").none() = 0.85)
        .def("__call__", &retr_call, nb::arg("keys").none(),
             "One bank index per query row (int64), continuing the stream from the last call.");
}

}  // namespace f2u
