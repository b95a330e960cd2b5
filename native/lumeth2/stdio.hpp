// Frame records on the standard streams: `read_exact`, `write_frame`, `emit`.
#pragma once
#include "lumeth2/host_module.hpp"

namespace l2 {

// Writes all of `data` to the module's `_OUT`, waiting while a non-blocking
// descriptor is full: never a part of it.
void out_write_whole(nb::handle data);

// Flushes `_OUT`, waiting while a non-blocking descriptor is full.
void out_flush();

// Points the descriptor behind `_OUT` at /dev/null, so that what is still
// buffered for a parent that may never read it goes nowhere: the interpreter's
// flush at exit then neither blocks on a full pipe nor fails on a non-blocking
// one (which would turn the exit status into 120).
void out_abandon();

}  // namespace l2
