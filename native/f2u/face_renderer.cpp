#include "f2u/heads.hpp"

namespace f2u {

void register_face_renderer(nb::module_& m) { (void)m; }

}  // namespace f2u
