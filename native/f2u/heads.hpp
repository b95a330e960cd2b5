// Registration of the f2u heads half of the `host` module (motion steppers,
// opener, retrieval, composition, face renderer), in the module's definition order.
#pragma once
#include "f2u/host_module.hpp"

namespace f2u {

void register_steppers(nb::module_& m);        // DetS, HeadL
void register_opener(nb::module_& m);          // F3COpen, F3XBOpen
void register_retrieval(nb::module_& m);       // Retr
void register_compose(nb::module_& m);         // compose
void register_face_renderer(nb::module_& m);   // Renderer, _composite
void register_pose_track(nb::module_& m);      // pose_track

}  // namespace f2u
