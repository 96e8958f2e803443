#pragma once

#include <chrono>
#include <ctime>

namespace quorvex {

using MonotonicTime = std::chrono::steady_clock::time_point;

// Time as the run sees it: a monotonic clock for waits, local time for the log.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual MonotonicTime Now() = 0;
  // Sleeps once, until the monotonic clock reaches `deadline` or less (a signal, an early
  // timer); callers loop on Now(). Raises the stop when a stop signal arrives meanwhile.
  virtual void SleepUntil(MonotonicTime deadline) = 0;
  virtual std::tm LocalTime() = 0;
  // Seconds since the epoch, for the age of what was stored.
  virtual std::time_t WallTime() = 0;
};

class SystemClock final : public Clock {
 public:
  MonotonicTime Now() override;
  void SleepUntil(MonotonicTime deadline) override;
  std::tm LocalTime() override;
  std::time_t WallTime() override;
};

}  // namespace quorvex
