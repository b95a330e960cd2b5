// Access to the f2u `host` module object from any translation unit.
#pragma once
#include "common/py.hpp"

namespace f2u {

nb::module_& host_module();
inline nb::object mod_get(const char* name) { return host_module().attr(name); }

// Identity, model pack and motion sources.
void register_sources(nb::module_& m);
// Motion heads, openers and the face renderer.
void register_heads(nb::module_& m);

}  // namespace f2u
