#include "open/open_module.hpp"

namespace op {

void register_opening(nb::module_& m) { (void)m; }

}  // namespace op
