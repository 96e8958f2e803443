#pragma once

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/stop_signals.h"
#include "trace/run_history.h"

namespace quorvex {

using Seconds = std::chrono::duration<double>;

// Virtual time that moves only when someone sleeps. Local time starts at
// 05/03/2026 14:07:03 and follows the monotonic clock.
class FakeClock final : public Clock {
 public:
  MonotonicTime Now() override { return now_; }
  void SleepUntil(MonotonicTime deadline) override {
    if (wakeStep_.count() > 0) {
      deadline = std::min(deadline, now_ + wakeStep_);
    }
    now_ = std::max(now_, deadline);
    if (stop_ && Elapsed() >= stop_->first) {
      now_ = kStart + std::chrono::duration_cast<std::chrono::nanoseconds>(Seconds(stop_->first));
      throw StopError(std::exchange(stop_, std::nullopt)->second);
    }
  }
  std::time_t WallTime() override { return wallStart_ + static_cast<std::time_t>(Elapsed()); }
  std::tm LocalTime() override {
    const std::time_t now = WallTime();
    std::tm local{};
    ::gmtime_r(&now, &local);
    return local;
  }
  double Elapsed() const { return Seconds(now_ - kStart).count(); }
  // Makes every sleep end after at most `step`, as an interrupted sleep would.
  void WakeEarly(std::chrono::milliseconds step) { wakeStep_ = step; }
  // Makes the wall clock read `now` at this moment, for files dated by the real one.
  void SetWallTime(std::time_t now) { wallStart_ = now - static_cast<std::time_t>(Elapsed()); }
  // Delivers stop signal `signal` to the sleep that reaches `seconds` since the start.
  void StopAt(double seconds, int signal) { stop_ = {seconds, signal}; }

 private:
  static constexpr MonotonicTime kStart = MonotonicTime{} + std::chrono::hours(100);
  MonotonicTime now_ = kStart;
  std::time_t wallStart_ = 1772719623;  // 05/03/2026 14:07:03 UTC
  std::chrono::milliseconds wakeStep_{0};
  std::optional<std::pair<double, int>> stop_;
};

// Keeps every history line, with its priority, for the test to inspect.
class RecordingHistory final : public RunHistory {
 public:
  void Record(std::string_view line, int priority) override {
    lines.emplace_back(std::string(line), priority);
  }
  std::vector<std::pair<std::string, int>> lines;
};

}  // namespace quorvex
