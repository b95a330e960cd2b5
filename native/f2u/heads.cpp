#include "f2u/host_module.hpp"

namespace f2u {

void register_heads(nb::module_& m) { (void)m; }

}  // namespace f2u
