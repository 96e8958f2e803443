#include "app/run_error.h"

#include <cstring>

namespace quorvex {

RunError OsError(int errnoValue, const std::string& what, int exitStatus) {
  return RunError(errnoValue, what + ": " + std::strerror(errnoValue), exitStatus);
}

}  // namespace quorvex
