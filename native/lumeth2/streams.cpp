#include "lumeth2/host_module.hpp"

namespace l2 {

void register_streams(nb::module_& m) { (void)m; }

}  // namespace l2
