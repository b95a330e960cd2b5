// Shared encoder of a two-artifact bundle: the declared base digest and the
// search for a matching shared-enc.tflite.
#pragma once
#include "lumeth2/host_module.hpp"

namespace l2 {

// The digest that the bundle's manifest declares for its base, or None; never raises.
nb::object declared_base_sha(nb::handle bundle);
// (path or None, resolution text)
nb::tuple resolve_shared_enc(nb::handle bundle, nb::handle engine, nb::handle want_sha);

}  // namespace l2
