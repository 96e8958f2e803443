#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "config/settings.h"

namespace quorvex {

// No real configuration comes near this; a larger file is a mistake or an attack.
inline constexpr size_t kLargestConfiguration = 1024 * 1024;

// A file's bytes, and the file that the links led to, as errors name it.
struct FileBytes {
  std::string bytes;
  std::string path;
};

// The bytes of `name` in `dir`, or nothing when there is no regular file of that name
// (after following links). A file that exists but cannot be read, or is larger than
// kLargestConfiguration, is a RunError (kSetting); the size is checked before anything is
// read, on the file that was opened.
std::optional<FileBytes> ReadRegularFile(const std::filesystem::path& dir, const std::string& name);

// What Quorvex.ini in `dir` came to: the settings, or the first of the file, the port and the
// dial string that is missing. A file that cannot be read and a value that cannot be
// converted or used are RunErrors (kSetting) that name the file read (in the package
// /etc/quorvex/Quorvex.ini, which the admin edits).
struct LoadedSettings {
  enum class Missing { kNothing, kFile, kComPort, kSMSPhone };
  Settings settings;
  Missing missing = Missing::kNothing;
};
LoadedSettings LoadSettings(const std::filesystem::path& dir);

}  // namespace quorvex
