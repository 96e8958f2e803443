#pragma once

#include <signal.h>

#include <string>

#include "base/run_error.h"

namespace quorvex {

// SIGTERM, SIGINT, SIGHUP and SIGQUIT stop a run. They stay blocked except inside the
// waits, which unblock them in ppoll's mask, so none is lost between a check and a sleep.

// Installs the recording handler and blocks the stop signals. Called once, first thing.
void BlockStopSignals();
// The signal mask for the inside of a wait: the process's mask less the stop signals
// (none, to keep the mask as it is, when they were never blocked).
const sigset_t* WaitSignalMask();
// Raises the stop as a RunError when a stop signal arrived during a wait.
void RaiseIfStopped();

// "SIGTERM" and so on; the bare number for other signals.
std::string SignalName(int signal);
// The stop by `signal`, unwinding to the run's error handler like a run error.
RunError StopError(int signal);

}  // namespace quorvex
