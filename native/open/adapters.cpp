#include "open/open_module.hpp"

namespace op {

void register_adapters(nb::module_& m) { (void)m; }

}  // namespace op
