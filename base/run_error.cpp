#include "base/run_error.h"

#include <cstring>

namespace quorvex {

RunError OsError(int errnoValue, const std::string& what, Failure failure) {
  return RunError(errnoValue, what + ": " + std::strerror(errnoValue), failure);
}

}  // namespace quorvex
