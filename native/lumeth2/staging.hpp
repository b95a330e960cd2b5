// Model staging: every model member gets a loadable path. A directory bundle's
// own file is used in place; anything else is written to a fresh temporary file
// recorded in the module registry `_STAGED` until it is released after loading
// or swept at exit.
#pragma once
#include "lumeth2/host_module.hpp"

namespace l2 {

// `_stage_tflite(bundle, nm, data)`: a path holding `data` for member `nm`.
nb::object stage_tflite(nb::handle bundle, nb::handle nm, nb::handle data);

// `_release_staged(paths)`: removes the listed paths that are staged files.
void release_staged(nb::handle paths);

}  // namespace l2
