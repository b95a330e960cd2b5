#include "lumeth2/host_module.hpp"

namespace l2 {

void register_runtime_probe(nb::module_& m) { (void)m; }

}  // namespace l2
