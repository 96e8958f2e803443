#pragma once

#include <string>

#include "base/text.h"

namespace quorvex {

inline constexpr int kVersionMajor = 1;
inline constexpr int kVersionMinor = 0;
inline constexpr int kVersionRevision = 0;

// "1.0.0", as the log's banner and --version show it.
inline std::string VersionNumber() {
  return Digits(kVersionMajor) + "." + Digits(kVersionMinor) + "." + Digits(kVersionRevision);
}

}  // namespace quorvex
