// The avatar cache on disk: root, cap, content keys, holds, liveness and disk
// usage. Plus the few Python-facing helpers the cache, materialising, opening
// and sweeping code share.
#pragma once
#include <cstdint>
#include <string>

#include "open/open_module.hpp"

namespace op {

using orvane::py_import;
using orvane::py_repr;
using orvane::py_str;

// ---- kernels (no Python objects; run with the GIL released) ----

// Reads up to `n` bytes from `fd` into `dst` (retrying short reads and EINTR);
// returns the count read, less than `n` only at end of file, or -1 with errno.
int64_t read_block(int fd, char* dst, size_t n);

// Apparent size in bytes of every non-directory name under `path`, walked top
// down without following links into directories; unreadable directories and
// names whose status cannot be read add nothing.
uint64_t disk_usage(const std::string& path);

// ---- helpers shared by the `_open` bindings ----

// `from module import name`, with the ImportError text of the interpreter
// when the module lacks the name.
nb::object import_from(const char* module, const char* name);

// Raise `exc` as `raise exc from None` inside `except caught` would: no cause,
// the caught error as suppressed context.
[[noreturn]] void raise_suppressed(nb::handle exc, nb::handle caught);

// refuse(cls, message, detail) of the error module, as bound on `_open`.
nb::object refusal(const char* cls, nb::handle message, nb::handle detail);

// os.fsencode / os.fsdecode.
std::string fs_bytes(nb::handle path);
nb::object fs_str(const std::string& path);

// The module's `_fcntl` is None: no advisory locks on this platform.
bool locks_unavailable();

}  // namespace op
