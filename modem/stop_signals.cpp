#include "modem/stop_signals.h"

#include <array>
#include <utility>

namespace quorvex {
namespace {

constexpr std::array<std::pair<int, const char*>, 4> kStopSignals{
    {{SIGTERM, "SIGTERM"}, {SIGINT, "SIGINT"}, {SIGHUP, "SIGHUP"}, {SIGQUIT, "SIGQUIT"}}};

volatile sig_atomic_t stopSignal = 0;
sigset_t waitMask;
bool blocked = false;

void RecordStop(int signal) {
  if (stopSignal == 0) {
    stopSignal = signal;
  }
}

}  // namespace

void BlockStopSignals() {
  sigset_t stops;
  sigemptyset(&stops);
  struct sigaction action {};
  action.sa_handler = RecordStop;
  sigfillset(&action.sa_mask);
  for (const auto& [signal, name] : kStopSignals) {
    sigaddset(&stops, signal);
    ::sigaction(signal, &action, nullptr);
  }
  ::sigprocmask(SIG_BLOCK, &stops, &waitMask);
  for (const auto& [signal, name] : kStopSignals) {
    sigdelset(&waitMask, signal);
  }
  blocked = true;
}

const sigset_t* WaitSignalMask() {
  return blocked ? &waitMask : nullptr;
}

void RaiseIfStopped() {
  if (stopSignal != 0) {
    throw StopError(stopSignal);
  }
}

std::string SignalName(int signal) {
  for (const auto& [number, name] : kStopSignals) {
    if (number == signal) {
      return name;
    }
  }
  return std::to_string(signal);
}

RunError StopError(int signal) {
  return RunError(signal, "Stopped by signal " + SignalName(signal), Failure::kStopped);
}

}  // namespace quorvex
