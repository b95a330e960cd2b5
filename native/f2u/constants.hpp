// Module constants of the f2u `host` module, for the C++ side.
#pragma once
#include <cstdint>

namespace f2u {

inline constexpr int64_t HOP = 640;
inline constexpr int64_t C_TOKEN = 4;  // module constant `C`
inline constexpr int64_t SWIN = 32000;
inline constexpr int64_t TW = 200;
inline constexpr double SP8 = 1598.0 / 199.0;  // 8.030150753768844
inline constexpr int64_t GROUPS[3][2] = {{0, 4}, {4, 8}, {8, 12}};
inline constexpr int64_t TBINS[14] = {0, 4, 8, 12, 16, 20, 25, 30, 38, 50, 63, 88, 125, 1000000000};
inline constexpr int64_t BURN = 200;
inline constexpr int64_t ROT[3] = {63, 64, 65};
inline constexpr int64_t LEGACY_TRUNK_CROP_R = 5;
inline constexpr int64_t ROWS_L[2] = {11, 13};
inline constexpr int64_t ROWS_R[2] = {15, 16};
inline constexpr int64_t AR2_BLOCK = 1024;  // AR2Noise.BLOCK
inline constexpr uint32_t AR2_SEED_MASK = 0x5A5A5A5Au;

}  // namespace f2u
