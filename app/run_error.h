#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorvex {

// Exit statuses, chosen so that scripts and queues can tell outcomes apart.
enum ExitStatus : int {
  kExitAccepted = 0,
  kExitBadRequest = 64,
  kExitIoError = 74,
  kExitNotDelivered = 75,
  kExitConfig = 78,
};

// Conversion error numbers, as the handler prints them.
inline constexpr int32_t kErrorOverflow = 6;
inline constexpr int32_t kErrorTypeMismatch = 13;

// The one failure type of a run: it unwinds every operation up to Form_Load's handler.
class RunError : public std::runtime_error {
 public:
  RunError(int32_t number, const std::string& description, int exitStatus)
      : std::runtime_error(description), number_(number), exitStatus_(exitStatus) {}

  int32_t number() const { return number_; }
  std::string description() const { return what(); }
  int exitStatus() const { return exitStatus_; }

 private:
  int32_t number_;
  int exitStatus_;
};

// A failure of the OS: carries errno and appends strerror's text to `what`.
RunError OsError(int errnoValue, const std::string& what, int exitStatus = kExitIoError);

}  // namespace quorvex
