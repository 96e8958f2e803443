#pragma once

#include <cstdint>
#include <string>

namespace quorvex {

// Digits behind a blank for zero and positives, behind a minus sign for negatives.
std::string SignedBlank(int64_t value);
// Digits with a minus sign for negatives; zero renders as empty text (pattern "#").
std::string Hash(int64_t value);
// As Hash, but zero renders as "0" (pattern "#0").
std::string HashZero(int64_t value);

}  // namespace quorvex
