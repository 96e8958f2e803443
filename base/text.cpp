#include "base/text.h"

#include <algorithm>

namespace quorvex {

std::string DigitsAfterSignOrBlank(int64_t value) {
  return value < 0 ? std::to_string(value) : " " + std::to_string(value);
}

std::string DigitsOrEmptyForZero(int64_t value) {
  return value == 0 ? std::string() : std::to_string(value);
}

std::string Digits(int64_t value) {
  return std::to_string(value);
}

bool IsControl(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

std::string BlankControls(std::string text) {
  std::replace_if(text.begin(), text.end(), IsControl, ' ');
  return text;
}

std::string QuotedValue(std::string_view value) {
  constexpr size_t kLongest = 40;
  if (value.size() <= kLongest) {
    return BlankControls(std::string(value));
  }
  return BlankControls(std::string(value.substr(0, kLongest))) + "...";
}

}  // namespace quorvex
