#include "f2u/host_module.hpp"

namespace f2u {

void register_sources(nb::module_& m) { (void)m; }

}  // namespace f2u
