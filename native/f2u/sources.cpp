// Identity, model pack and motion sources of the f2u `host` module. Each
// concern registers itself; the calls below follow the module's own order.
#include "f2u/sources.hpp"

namespace f2u {

void register_sources(nb::module_& m) {
    register_imports(m);
    register_constants(m);
    register_seeding(m);
    register_numeric(m);
    register_motion_feat(m);
    register_pack(m);
    register_f3params(m);
    register_identity(m);
    register_eyecal(m);
    register_noise(m);
    register_encoder(m);
}

}  // namespace f2u
