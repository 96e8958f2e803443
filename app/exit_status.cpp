#include "app/exit_status.h"

namespace quorvex {

int ExitStatus(Ending ending) {
  switch (ending) {
    case Ending::kAccepted:
      return 0;
    case Ending::kBadRequest:
      return 64;  // EX_USAGE
    case Ending::kNotDelivered:
    case Ending::kPortInUse:
    case Ending::kAnotherRun:
      return 75;  // EX_TEMPFAIL: try again later
    case Ending::kConfiguration:
      return 78;  // EX_CONFIG
    case Ending::kRunError:
      break;
  }
  return 74;  // EX_IOERR
}

int ExitStatusForSignal(int signal) {
  return 128 + signal;
}

Ending EndingOf(Failure failure) {
  switch (failure) {
    case Failure::kPortInUse:
      return Ending::kPortInUse;
    case Failure::kLogInUse:
      return Ending::kAnotherRun;
    case Failure::kSetting:
      return Ending::kConfiguration;
    default:
      return Ending::kRunError;
  }
}

}  // namespace quorvex
