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

// Why a request that is not valid cannot be sent, as the run's history says it; its notice
// adds kRequestExample after a blank line.
std::string_view RequestProblem(RequestStatus status);
inline constexpr std::string_view kRequestExample =
    "ie. Quorvex 447775123456,This is a test message to 07775 123456";

// The arguments after the program name, joined with single blanks.
std::string JoinArguments(const std::vector<std::string>& arguments);

// Splits "number,message" at the first comma. The number must start with 44 and hold at
// least six bytes, all printable ASCII: a 7-bit line would turn any other byte into
// something else, a CR among them. Each control byte of the message becomes a blank, so
// that the service gets it on one line and the log keeps one line per step.
ParsedRequest ParseRequest(std::string_view argumentText);

}  // namespace quorvex
