// Model staging: every model member gets a loadable path. A directory bundle's
// own file is used in place; anything else is written to a fresh temporary file
// recorded in the module registry `_STAGED` until it is released after loading
// or swept at exit.
#pragma once
#include "lumeth2/host_module.hpp"

namespace l2 {

// `_stage_tflite(bundle, nm, data)`: a path holding `data` for member `nm`.
nb::object stage_tflite(nb::handle bundle, nb::handle nm, nb::handle data);

// The path an interpreter should open for `path`: for a copy this process
// staged, /proc/self/fd/N of the descriptor it wrote (the same file, whatever
// has happened to its name since); any other path as given.
nb::object staged_load_path(nb::handle path);

// `_release_staged(paths)`: removes the listed paths that are staged files.
void release_staged(nb::handle paths);

// Marks `exc` as an error of the staged side (the private folder, a copy's
// creation or a write to it, as when the disk is full), as opposed to one met
// while reading the bundle: only the latter is a damaged bundle.
void mark_staging_error(nb::handle exc);
bool is_staging_error(nb::handle exc);

// The member name a copy this process staged was written from (as given to
// `_stage_tflite`), or an empty string for any other path: a model that is
// such a copy came out of the bundle.
std::string staged_member(nb::handle path);

}  // namespace l2
