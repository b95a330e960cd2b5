#include "open/open_module.hpp"

namespace op {

void register_settings(nb::module_& m) { (void)m; }

}  // namespace op
