#pragma once

#include <poll.h>

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
  // Sleeps until the monotonic clock reaches `deadline`, or less when interrupted. Raises
  // the stop when a stop signal arrives meanwhile.
  virtual void SleepUntil(MonotonicTime deadline) = 0;
  virtual std::tm LocalTime() = 0;
};

class SystemClock final : public Clock {
 public:
  MonotonicTime Now() override;
  void SleepUntil(MonotonicTime deadline) override;
  std::tm LocalTime() override;
};

// One ppoll on `fds` until `deadline` at the latest, with the stop signals let in; returns
// what ppoll returned (errno set) after raising the stop if one arrived.
int PollUntil(pollfd* fds, nfds_t count, MonotonicTime deadline);

}  // namespace quorvex
