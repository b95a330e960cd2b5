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

// Size in bytes of every non-directory name under `path`, walked top down
// without following links into directories: its apparent size, but never more
// than its allocated blocks for a regular file (a sparse file counts what it
// takes on disk). Unreadable directories and names whose status cannot be read
// add nothing.
uint64_t disk_usage(const std::string& path);

// Exclusive lock on an entry's marker for as long as the caller keeps the
// returned descriptor: no process can take a hold on the entry meanwhile.
// -1 when the entry has no marker (there is nothing anyone could hold), -2
// when someone holds it.
int claim_entry(const std::string& entry);

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

// Holding a cache entry (`_hold`), with its outcome: `held` (a shared lock on
// its marker, in `_HELD`), `unheld` (the entry is there but no lock could be
// had, or the platform has none) or `vanished` (the entry is gone, or moved
// away while we waited: the caller must not use it).
enum class HoldResult { held, unheld, vanished };
HoldResult hold_entry(nb::handle dest);

// `<entry>/manifest.json` is a regular file (a link does not count).
bool marker_present(const std::string& marker);

// The cache root, `avatars/` and `.idx/` made or checked for use (see
// cache_dirs.hpp); an OSError naming the folder when they cannot be.
void prepare_cache(nb::handle root, nb::handle avatars);

// The module's `_fcntl` is None: no advisory locks on this platform.
bool locks_unavailable();

}  // namespace op
