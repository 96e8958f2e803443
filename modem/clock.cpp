#include "modem/clock.h"

#include <time.h>

namespace quorvex {

timespec ToTimespec(std::chrono::nanoseconds sinceEpoch) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
  timespec result{};
  result.tv_sec = static_cast<time_t>(seconds.count());
  result.tv_nsec = static_cast<long>((sinceEpoch - seconds).count());
  return result;
}

MonotonicTime SystemClock::Now() {
  return std::chrono::steady_clock::now();
}

void SystemClock::SleepUntil(MonotonicTime deadline) {
  // steady_clock is CLOCK_MONOTONIC on Linux, so its epoch is the same.
  const timespec until = ToTimespec(deadline.time_since_epoch());
  ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
}

std::tm SystemClock::LocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  return local;
}

}  // namespace quorvex
