#include "app/request.h"

namespace quorvex {
namespace {

// The number part must hold at least six characters, so the comma sits at index 6 or later.
constexpr size_t kFirstCommaIndex = 6;

bool IsAllBlanks(std::string_view text) {
  return text.find_first_not_of(' ') == std::string_view::npos;
}

}  // namespace

std::string JoinArguments(const std::vector<std::string>& arguments) {
  std::string joined;
  for (const std::string& argument : arguments) {
    if (&argument != &arguments.front()) {
      joined += ' ';
    }
    joined += argument;
  }
  return joined;
}

ParsedRequest ParseRequest(std::string_view argumentText) {
  if (IsAllBlanks(argumentText)) {
    return {RequestStatus::kEmpty, {}, {}};
  }
  const size_t comma = argumentText.find(',');
  if (!argumentText.starts_with("44") || comma == std::string_view::npos ||
      comma < kFirstCommaIndex) {
    return {RequestStatus::kInvalid, {}, {}};
  }
  return {RequestStatus::kValid, std::string(argumentText.substr(0, comma)),
          std::string(argumentText.substr(comma + 1))};
}

}  // namespace quorvex
