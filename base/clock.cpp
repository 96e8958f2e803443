#include "base/clock.h"

#include <time.h>

#include "base/stop_signals.h"

namespace quorvex {

MonotonicTime SystemClock::Now() {
  return std::chrono::steady_clock::now();
}

void SystemClock::SleepUntil(MonotonicTime deadline) {
  PollWithStopSignals(nullptr, 0, deadline - Now());
}

std::time_t SystemClock::WallTime() {
  return std::time(nullptr);
}

std::tm SystemClock::LocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  return local;
}

}  // namespace quorvex
