#pragma once

#include <optional>
#include <string_view>

namespace quorvex {

// The longest numeric prefix of `text`: blanks and tabs are skipped wherever they
// stand; sign, digits, decimal point with fraction and an E exponent are accepted.
// Text without a numeric prefix reads as 0.
double NumericPrefix(std::string_view text);

// The whole text as a decimal number with optional surrounding blanks, or nothing.
std::optional<double> StrictDecimal(std::string_view text);

// Rounds halves to the even neighbour; nothing when the result lies outside [low, high].
std::optional<long long> RoundToRange(double value, long long low, long long high);

}  // namespace quorvex
