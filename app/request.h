#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace quorvex {

enum class RequestStatus { kValid, kEmpty, kInvalid };

struct ParsedRequest {
  RequestStatus status = RequestStatus::kEmpty;
  std::string number;
  std::string message;
};

// The arguments after the program name, joined with single blanks.
std::string JoinArguments(const std::vector<std::string>& arguments);

// Splits "number,message" at the first comma and checks the UK prefix and number length.
ParsedRequest ParseRequest(std::string_view argumentText);

}  // namespace quorvex
