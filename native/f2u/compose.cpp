#include "f2u/heads.hpp"

namespace f2u {

void register_compose(nb::module_& m) { (void)m; }

}  // namespace f2u

namespace f2u {

void register_pose_track(nb::module_& m) { (void)m; }

}  // namespace f2u
