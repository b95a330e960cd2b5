#include "f2u/heads.hpp"

namespace f2u {

void register_opener(nb::module_& m) { (void)m; }

}  // namespace f2u
