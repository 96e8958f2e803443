#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quorvex {

// No real configuration comes near this; a larger file is a mistake or an attack.
inline constexpr size_t kLargestConfiguration = 1024 * 1024;

// The bytes of `file`, or nothing when it is not a regular file (after following links).
// A file that exists but cannot be read, or is larger than kLargestConfiguration, is a
// RunError; the size is checked before anything is read.
std::optional<std::string> ReadRegularFile(const std::filesystem::path& file);

}  // namespace quorvex
