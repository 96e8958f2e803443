#pragma once

#include <cstdint>
#include <string_view>

namespace quorvex {

// Factory defaults, no echo, word results, DCD follows the carrier, hang up when DTR drops,
// no auto-answer.
inline constexpr std::string_view kInitialise = "AT&FE0V1&C1&D2S0=0\r";
inline constexpr std::string_view kReset = "ATZ\r";
inline constexpr int16_t kInitialiseWait = 2;
inline constexpr int16_t kResetWait = 1;

}  // namespace quorvex
