#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "config/settings.h"

namespace quorvex {

// Lines end at CR, CR LF or LF; a last line without an end still counts.
std::vector<std::string_view> SplitLines(std::string_view bytes);

// Reads the settings from the file's bytes. A value that cannot be converted is a RunError.
Settings ReadConfiguration(std::string_view bytes);

}  // namespace quorvex
