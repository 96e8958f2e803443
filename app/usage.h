#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace quorvex {

// What `Quorvex --help` or `Quorvex --version` prints, when that is the sole argument (a
// request starts with 44, so none can clash); nothing for every other command line.
std::optional<std::string> InformationRequested(const std::vector<std::string>& arguments,
                                                const std::filesystem::path& exeDir);

// True for `Quorvex --check`, a check of the port and the modem without a delivery; only as
// the sole argument.
bool CheckRequested(const std::vector<std::string>& arguments);

}  // namespace quorvex
