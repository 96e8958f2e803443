#include "app/request.h"

#include <algorithm>

#include "base/text.h"

namespace quorvex {
namespace {

constexpr size_t kShortestNumber = 6;

bool IsAllBlanks(std::string_view text) {
  return text.find_first_not_of(' ') == std::string_view::npos;
}

bool IsValidNumber(std::string_view number) {
  return number.starts_with("44") && number.size() >= kShortestNumber &&
         std::all_of(number.begin(), number.end(), IsPrintableAscii);
}

}  // namespace

std::string_view RequestProblem(RequestStatus status) {
  return status == RequestStatus::kEmpty
             ? "Please pass International format mobile number and message to send via SMS on "
               "command line"
             : "Command line is invalid - please use the form 'Quorvex <Intl. format mobile "
               "no.>,<message to send>'";
}

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
  if (comma == std::string_view::npos || !IsValidNumber(argumentText.substr(0, comma))) {
    return {RequestStatus::kInvalid, {}, {}};
  }
  return {RequestStatus::kValid, std::string(argumentText.substr(0, comma)),
          BlankControls(std::string(argumentText.substr(comma + 1)))};
}

}  // namespace quorvex
