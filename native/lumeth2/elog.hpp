// The host's log line on standard error (`_elog`), reachable from C++.
#pragma once
#include "lumeth2/host_module.hpp"

#include <string>

namespace l2 {

inline constexpr const char* ELOG_PREFIX = "[render-stream-chain-host]";

// Writes "[render-stream-chain-host]" and the text form of every item of
// `args`, separated by single blanks and ended by a newline, to the current
// sys.stderr in one write, then flushes it. Write errors propagate.
void elog_write(nb::handle args);

// One log line through the module's `_elog` as currently bound, so a caller
// that rebinds it (a test capturing lines) sees C++ callers too.
inline void elog(nb::handle text) { mod_get("_elog")(text); }
inline void elog(const std::string& text) { elog(nb::str(text.c_str(), text.size())); }

}  // namespace l2
