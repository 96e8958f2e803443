#include "app/renderings.h"

namespace quorvex {

std::string SignedBlank(int64_t value) {
  return value < 0 ? std::to_string(value) : " " + std::to_string(value);
}

std::string Hash(int64_t value) {
  return value == 0 ? std::string() : std::to_string(value);
}

std::string HashZero(int64_t value) {
  return std::to_string(value);
}

}  // namespace quorvex
