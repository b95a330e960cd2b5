// The `_open` extension module: opening avatars and rendering them offline.
#include "open/open_module.hpp"

namespace op {

static nb::module_* g_module = nullptr;

nb::module_& open_module() { return *g_module; }

}  // namespace op

NB_MODULE(_open, m) {
    // Held for the life of the process (never released during interpreter teardown).
    static nb::module_* keep = new nb::module_(nb::borrow<nb::module_>(m));
    op::g_module = keep;
    op::register_settings(m);
    op::register_intake(m);
    op::register_clock(m);
    op::register_avatar(m);
    op::register_adapters(m);
    op::register_cache(m);
    op::register_materialise(m);
    op::register_opening(m);
    op::register_sweep(m);
}
