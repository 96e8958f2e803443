#include "base/stop_signals.h"

#include <signal.h>
#include <string.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

namespace quorvex {
namespace {

constexpr std::array<std::pair<int, const char*>, 7> kStopSignals{{{SIGTERM, "SIGTERM"},
                                                                   {SIGINT, "SIGINT"},
                                                                   {SIGHUP, "SIGHUP"},
                                                                   {SIGQUIT, "SIGQUIT"},
                                                                   {SIGALRM, "SIGALRM"},
                                                                   {SIGUSR1, "SIGUSR1"},
                                                                   {SIGUSR2, "SIGUSR2"}}};

volatile sig_atomic_t stopSignal = 0;
sigset_t waitMask;
bool blocked = false;

void RecordStop(int signal) {
  if (stopSignal == 0) {
    stopSignal = signal;
  }
}

// Only there to interrupt a wait.
void OnContinue(int) {}

bool IgnoredByCaller(int signal) {
  struct sigaction current {};
  return ::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == SIG_IGN;
}

timespec ToTimespec(std::chrono::nanoseconds length) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(length);
  timespec result{};
  result.tv_sec = static_cast<time_t>(seconds.count());
  result.tv_nsec = static_cast<long>((length - seconds).count());
  return result;
}

// poll lets its timer fire up to 0.1% of the timeout late (30 ms on a 30 s wait). Waking a
// little early and polling again for the rest keeps a wait within the usual timer slack.
timespec PollTimeout(std::chrono::nanoseconds remaining) {
  if (remaining > std::chrono::milliseconds(1)) {
    remaining -= remaining / 500;
  }
  return ToTimespec(std::max(remaining, std::chrono::nanoseconds(0)));
}

// Records `signal` as a stop and holds it off except inside the waits.
void Catch(int signal) {
  struct sigaction action {};
  action.sa_handler = RecordStop;
  sigfillset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  ::sigprocmask(SIG_BLOCK, &one, nullptr);
  sigdelset(&waitMask, signal);
}

}  // namespace

void BlockStopSignals() {
  ::sigprocmask(SIG_BLOCK, nullptr, &waitMask);
  for (const auto& [signal, name] : kStopSignals) {
    if (!IgnoredByCaller(signal)) {
      Catch(signal);
    }
  }
  struct sigaction action {};
  action.sa_handler = OnContinue;
  ::sigaction(SIGCONT, &action, nullptr);
  sigdelset(&waitMask, SIGCONT);
  blocked = true;
}

void CatchStopSignal(int signal) {
  Catch(signal);
}

int PollWithStopSignals(pollfd* fds, nfds_t count, std::chrono::nanoseconds timeout) {
  const timespec limit = PollTimeout(timeout);
  const int ready = ::ppoll(fds, count, &limit, blocked ? &waitMask : nullptr);
  const int error = errno;
  if (stopSignal != 0) {
    throw StopError(stopSignal);
  }
  errno = error;
  return ready;
}

std::string SignalName(int signal) {
  for (const auto& [number, name] : kStopSignals) {
    if (number == signal) {
      return name;
    }
  }
  const char* abbreviation = ::sigabbrev_np(signal);  // a signal that is no stop: SIGKILL
  return abbreviation != nullptr ? "SIG" + std::string(abbreviation) : std::to_string(signal);
}

RunError StopError(int signal) {
  return RunError(signal, "Stopped by signal " + SignalName(signal), Failure::kStopped);
}

}  // namespace quorvex
