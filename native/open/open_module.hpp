// Access to the `_open` module object from any translation unit, and the
// registration of each concern in the module's load order.
#pragma once
#include "common/py.hpp"

namespace op {

nb::module_& open_module();
inline nb::object mod_get(const char* name) { return open_module().attr(name); }
inline void mod_set(const char* name, nb::handle value) { open_module().attr(name) = value; }

void register_settings(nb::module_& m);     // imports, logger, constants, engine-kind sets, RenderStats
void register_intake(nb::module_& m);       // audio intake
void register_clock(nb::module_& m);        // render clock and statistics
void register_avatar(nb::module_& m);       // Avatar, its render loop and lifetime
void register_adapters(nb::module_& m);     // session and fixture engine adapters
void register_cache(nb::module_& m);        // cache layout, cap, content keys, holds, liveness, disk usage
void register_materialise(nb::module_& m);  // unpacking into the cache, engine kind
void register_opening(nb::module_& m);      // open, engine construction
void register_sweep(nb::module_& m);        // cache eviction sweep

}  // namespace op
