// The `_chain_host` extension module: the lumeth-2 model chain and its
// render-stream host. Definitions are registered in the module's load order.
#include "common/module_init.hpp"
#include "lumeth2/host_module.hpp"

namespace l2 {

static nb::module_* g_module = nullptr;

nb::module_& host_module() { return *g_module; }

}  // namespace l2

// A load step's own error (a broken policy module's, say) reaches the importer
// as itself, not wrapped in nanobind's generic ImportError.
#define PyInit__chain_host chain_host_nb_init
NB_MODULE(_chain_host, m) {
    // Held for the life of the process (never released during interpreter teardown).
    static nb::module_* keep = new nb::module_(nb::borrow<nb::module_>(m));
    l2::g_module = keep;
    l2::register_setup(m);
    l2::register_color(m);
    l2::register_streams(m);
    l2::register_constants(m);
    l2::register_wsola(m);
    l2::register_chain(m);
    l2::register_dec_inputs(m);
    l2::register_pixels(m);
    l2::register_pcm_buffer(m);
    l2::register_renderer(m);
    l2::register_stdio(m);
    l2::register_bundle(m);
    l2::register_q8gd(m);
    l2::register_runtime_probe(m);
    l2::register_staging(m);
    l2::register_shared_enc(m);
    l2::register_cpu_budget(m);
    l2::register_startup(m);
    l2::register_serve(m);
}
#undef PyInit__chain_host

extern "C" NB_EXPORT PyObject* PyInit__chain_host(void) { return orvane::pass_load_errors(chain_host_nb_init()); }
