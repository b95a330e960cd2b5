#include "f2u/heads.hpp"
#include "f2u/sources.hpp"

namespace f2u {

void register_heads(nb::module_& m) {
    register_steppers(m);
    register_opener(m);
    register_retrieval(m);
    register_compose(m);
    register_rows_constants(m);
    register_face_renderer(m);
    register_pose_track(m);
}

}  // namespace f2u
