#pragma once

#include "base/run_error.h"

namespace quorvex {

// How a run ended, as its caller needs to tell it apart.
enum class Ending {
  kAccepted,       // the service accepted the message
  kBadRequest,     // the request is empty or invalid
  kNotDelivered,   // attempts used up, or no dial tone
  kPortInUse,      // another program holds the serial port
  kAnotherRun,     // another run of this installation holds the log
  kConfiguration,  // Quorvex.ini missing, or a setting missing or unusable
  kRunError,       // any other failure
};

// The exit status of each ending: the one table scripts rely on, mirrored in the README.
int ExitStatus(Ending ending);

// A stop by signal N ends with 128 + N, as a shell reports a process killed by it.
int ExitStatusForSignal(int signal);

// The ending that a failure of each kind leads to.
Ending EndingOf(Failure failure);

}  // namespace quorvex
