#include "base/run_error.h"

#include <cstring>

#include "base/text.h"

namespace quorvex {

std::string RunErrorText(const RunError& error) {
  return "Error #" + DigitsOrEmptyForZero(error.number()) + " (" + error.description() +
         ") occurred during initialization...";
}

RunError OsError(int errnoValue, const std::string& what, Failure failure) {
  return RunError(errnoValue, what + ": " + std::strerror(errnoValue), failure);
}

}  // namespace quorvex
