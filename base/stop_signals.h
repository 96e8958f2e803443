#pragma once

#include <poll.h>

#include <chrono>
#include <string>

#include "base/run_error.h"

namespace quorvex {

// SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1 and SIGUSR2 stop a run, unless the
// caller started it with one ignored (nohup): that one stays ignored. They stay blocked
// except inside the waits, which let them in through ppoll's mask, so none is lost between
// a check and a sleep.

// Installs the recording handler and blocks the stop signals. Called once, first thing.
void BlockStopSignals();
// Makes `signal` a stop even if the caller ignored it: a delivery must hear its drain die.
void CatchStopSignal(int signal);

// One ppoll on `fds` for at most `timeout`, with the stop signals let in; raises the stop
// if one arrived, else returns what ppoll returned (errno kept). A SIGCONT ends it early,
// so that a wait stopped with SIGSTOP goes on by its deadline, not by its time left.
int PollWithStopSignals(pollfd* fds, nfds_t count, std::chrono::nanoseconds timeout);

// "SIGTERM" and so on, "SIGKILL" too; the bare number for a signal glibc has no name for.
std::string SignalName(int signal);
// The stop by `signal`, unwinding to the run's error handler like a run error.
RunError StopError(int signal);

}  // namespace quorvex
