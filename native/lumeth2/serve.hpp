// The serve loop of the render-stream host: READY line, then length-prefixed
// float32 blocks and command words in, indexed RGB888 frame records out.
#pragma once
#include "lumeth2/host_module.hpp"

namespace l2 {

inline constexpr uint32_t FLUSH_CMD = 0xFFFFFFFFu;
inline constexpr uint32_t RESET_CMD = 0xFFFFFFFEu;
inline constexpr uint32_t MAX_BLOCK = 1u << 24;  // samples
inline constexpr double STATS_INTERVAL_S = 5.0;

nb::object serve(nb::handle renderer, nb::handle chain, nb::handle nm);

}  // namespace l2
