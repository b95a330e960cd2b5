// Frame records on the standard streams: `read_exact`, `write_frame`, `emit`.
#pragma once
#include "lumeth2/host_module.hpp"

namespace l2 {

// Writes all of `data` to the module's `_OUT`, waiting while a non-blocking
// descriptor is full: never a part of it.
void out_write_whole(nb::handle data);

// Flushes `_OUT`, waiting while a non-blocking descriptor is full.
void out_flush();

}  // namespace l2
