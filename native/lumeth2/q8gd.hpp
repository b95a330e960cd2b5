// Choice between the combined chain model and its int8-decoder variant.
#pragma once
#include "lumeth2/host_module.hpp"

namespace l2 {

inline constexpr const char* COMBINED_MEMBER = "combined_litert.tflite";
inline constexpr const char* Q8GD_MEMBER = "combined_litert_q8gd.tflite";
inline constexpr const char* Q8GD_HEADER_KEY = "litert_q8gd";
inline constexpr const char* Q8GD_ENV = "LUMETH2_Q8GD";
inline constexpr const char* Q8GD_LOG = "[q8gd]";
inline constexpr const char* DEFAULT_CPUINFO = "/proc/cpuinfo";

// First qualifying int8 dot-product flag of the first "flags" line, or None.
nb::object int8_dot_isa(nb::handle cpuinfo);
// (declared variant sha or None, reason)
nb::tuple q8gd_bound(nb::handle manifest);
// (accepted, reason)
nb::tuple q8gd_runtime_ok(nb::handle manifest, nb::handle running);
// (variant path or None, report line possibly empty); never raises an ordinary error.
nb::tuple select_q8gd(nb::handle bundle, nb::handle cpuinfo);

}  // namespace l2
