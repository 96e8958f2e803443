#include "base/exit_status.h"

#include <algorithm>

namespace quorvex {

int ExitStatus(Ending ending) {
  return std::find_if(kExitStatuses.begin(), kExitStatuses.end(),
                      [ending](const ExitStatusRow& row) { return row.ending == ending; })
      ->status;
}

int ExitStatusForSignal(int signal) {
  return 128 + signal;
}

Ending EndingOf(Failure failure) {
  switch (failure) {
    case Failure::kPortInUse:
      return Ending::kPortInUse;
    case Failure::kLogInUse:
    case Failure::kLogInCheck:
      return Ending::kAnotherRun;
    case Failure::kSetting:
      return Ending::kConfiguration;
    case Failure::kSystem:
    case Failure::kStopped:
      return Ending::kRunError;
  }
  return Ending::kRunError;  // no other value; without a default, -Wswitch names a new one
}

}  // namespace quorvex
