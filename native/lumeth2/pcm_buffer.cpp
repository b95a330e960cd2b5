#include "lumeth2/host_module.hpp"

namespace l2 {

void register_pcm_buffer(nb::module_& m) { (void)m; }

}  // namespace l2
