// The f2u `host` extension module: model pack, identity, motion sources and
// (later) the motion heads and face renderer.
#include "f2u/host_module.hpp"

namespace f2u {

static nb::module_* g_module = nullptr;

nb::module_& host_module() { return *g_module; }

}  // namespace f2u

NB_MODULE(host, m) {
    // Held for the life of the process (never released during interpreter teardown).
    static nb::module_* keep = new nb::module_(nb::borrow<nb::module_>(m));
    f2u::g_module = keep;
    f2u::register_sources(m);
    f2u::register_heads(m);
}
