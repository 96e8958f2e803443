#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quorvex {

// The bytes of `file`, or nothing when it is not a regular file (after following links).
// A file that exists but cannot be read is a RunError.
std::optional<std::string> ReadRegularFile(const std::filesystem::path& file);

}  // namespace quorvex
