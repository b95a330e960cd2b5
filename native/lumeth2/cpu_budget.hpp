// CPU budget of the host: the processors this process may keep busy (system
// count narrowed by the affinity mask and the cgroup CPU quota) and the default
// per-interpreter thread count derived from it.
#pragma once
#include "lumeth2/host_module.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace l2 {

inline constexpr int64_t CPU_COUNT_FALLBACK = 8;
inline constexpr int64_t THREAD_CAP = 24;

// The usable core count, with every outside input given: `root` is prefixed to
// "/proc/self/cgroup" and "/sys/fs/cgroup/..." (empty for the live system),
// `cpu_count` the system's processor count (nullopt or 0: none reported),
// `affinity` the size of the affinity set (nullopt: unknown). Never below 1.
int64_t effective_cpu_count_at(const std::string& root, std::optional<int64_t> cpu_count,
                               std::optional<int64_t> affinity);

// `effective_cpu_count()` on the live system.
int64_t effective_cpu_count();

// `default_threads(n_interpreters, requested)`: the thread count for each LiteRT
// interpreter: the request, else LIBQUARO_THREADS (parsed by int()), else the
// usable cores capped at 24; at most half the cores each when several run.
// Reads the core count through the module's current `effective_cpu_count`.
nb::object default_threads(nb::handle n_interpreters, nb::handle requested);

}  // namespace l2
