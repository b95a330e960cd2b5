// Geometry and cadence of the lumeth-2 stream, shared by the C++ side of every
// concern. The module exposes the same values as attributes (constants.cpp).
#pragma once
#include <cstdint>

namespace l2 {

inline constexpr int64_t SR = 16000;          // Hz
inline constexpr int64_t SPF = 800;           // samples per frame
inline constexpr int64_t SPC = 25600;         // samples per steady chunk
inline constexpr int64_t FPS = 20;
inline constexpr int64_t WIN_SAMPLES = 44000;
inline constexpr int64_t TEMPO_SAMPLES = 35200;
inline constexpr int64_t CHUNK0_LAT = 6;
inline constexpr int64_t STEADY_LAT = 8;
inline constexpr int64_t STEADY_PX = 32;
inline constexpr int64_t PRESENT_DELAY_FRAMES = 1;
inline constexpr int64_t LC = 16, LH = 90, LW = 52, CTX = 16, NA = 16, CA = 384;
inline constexpr int64_t FH = 720, FW = 416;
inline constexpr int64_t PLANE = LH * LW;       // 4680
inline constexpr int64_t HWPX = FH * FW;        // 299520
inline constexpr int64_t FRAME36 = PLANE * 36;  // 168480
inline constexpr int64_t FRAME_BYTES = HWPX * 3;  // 898560

inline constexpr int64_t SR_WSOLA_SEGMENT = 1312;
inline constexpr int64_t SR_WSOLA_OVERLAP = 192;
inline constexpr int64_t SR_WSOLA_SEARCH = 235;

// The most threads one LiteRT interpreter is given (far more cores than any
// machine this serves): the runtime takes a C int, and with a count in the tens
// of thousands it ends the process when the interpreter is destroyed.
inline constexpr int64_t MAX_INTERPRETER_THREADS = 1024;

}  // namespace l2
