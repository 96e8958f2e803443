#pragma once

#include <string>
#include <string_view>

#include "config/settings.h"

namespace quorvex {

// Reads the settings from the file's bytes. A value that cannot be converted is a RunError.
Settings ReadConfiguration(std::string_view bytes);

}  // namespace quorvex
