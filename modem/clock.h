#pragma once

#include <chrono>
#include <ctime>

namespace quorvex {

using MonotonicTime = std::chrono::steady_clock::time_point;
using Seconds = std::chrono::duration<double>;

// Time as the run sees it: a monotonic clock for waits, local time for the log.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual MonotonicTime Now() = 0;
  // Sleeps until the monotonic clock reaches `deadline`; may return early if interrupted.
  virtual void SleepUntil(MonotonicTime deadline) = 0;
  virtual std::tm LocalTime() = 0;
};

class SystemClock : public Clock {
 public:
  MonotonicTime Now() override;
  void SleepUntil(MonotonicTime deadline) override;
  std::tm LocalTime() override;
};

// A timespec for clock_nanosleep and ppoll from a monotonic time point or a duration.
timespec ToTimespec(std::chrono::nanoseconds sinceEpoch);

}  // namespace quorvex
