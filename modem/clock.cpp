#include "modem/clock.h"

#include <time.h>

#include <algorithm>
#include <cerrno>

#include "modem/stop_signals.h"

namespace quorvex {
namespace {

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

}  // namespace

int PollUntil(pollfd* fds, nfds_t count, MonotonicTime deadline) {
  const timespec timeout = PollTimeout(deadline - std::chrono::steady_clock::now());
  const int ready = ::ppoll(fds, count, &timeout, WaitSignalMask());
  const int error = errno;
  RaiseIfStopped();
  errno = error;
  return ready;
}

MonotonicTime SystemClock::Now() {
  return std::chrono::steady_clock::now();
}

void SystemClock::SleepUntil(MonotonicTime deadline) {
  PollUntil(nullptr, 0, deadline);
}

std::tm SystemClock::LocalTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  return local;
}

}  // namespace quorvex
