// The avatar cache on disk: root, cap, content keys, holds, liveness and disk
// usage. Plus the few Python-facing helpers the cache, materialising, opening
// and sweeping code share.
#pragma once
#include <cstdint>
#include <string>

#include "common/fileio.hpp"
#include "open/open_glue.hpp"

namespace op {

// ---- kernels (no Python objects; run with the GIL released) ----

// Apparent size in bytes of every non-directory name under `path`, walked top
// down without following links into directories; unreadable directories and
// names whose status cannot be read add nothing.
uint64_t disk_usage(const std::string& path);

// `a/b` on path bytes ("b" alone when `a` is empty, as os.path.join does).
std::string path_join(const std::string& a, const std::string& b);

// ---- helpers shared by the `_open` bindings ----

// Raise the OSError subclass for errno `err`, naming `filename`.
[[noreturn]] void raise_os_error(int err, nb::handle filename);

// `from module import name`, with the ImportError text of the interpreter
// when the module lacks the name.
nb::object import_from(const char* module, const char* name);

// os.fsencode / os.fsdecode.
std::string fs_bytes(nb::handle path);
// os.fsencode for a path handed to the system: ValueError for an embedded NUL.
std::string fs_path(nb::handle path);
nb::object fs_str(const std::string& path);

// The module's `_fcntl` is None: no advisory locks on this platform.
bool locks_unavailable();

}  // namespace op
