#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "modem/serial_line.h"

namespace quorvex {

// Virtual time that moves only when someone sleeps. Local time starts at
// 05/03/2026 14:07:03 and follows the monotonic clock.
class FakeClock final : public Clock {
 public:
  MonotonicTime Now() override { return now_; }
  void SleepUntil(MonotonicTime deadline) override;
  std::tm LocalTime() override;
  double Elapsed() const { return Seconds(now_ - kStart).count(); }
  // Makes every sleep end after at most `step`, as an interrupted sleep would.
  void WakeEarly(std::chrono::milliseconds step) { wakeStep_ = step; }
  // Delivers stop signal `signal` to the sleep that reaches `seconds` since the start.
  void StopAt(double seconds, int signal) { stop_ = {seconds, signal}; }

 private:
  static constexpr MonotonicTime kStart = MonotonicTime{} + std::chrono::hours(100);
  MonotonicTime now_ = kStart;
  std::chrono::milliseconds wakeStep_{0};
  std::optional<std::pair<double, int>> stop_;
};

// What crossed the line, and when: {seconds since start, text}. Opening and closing
// show as "<open COMn>" and "<close>".
using LineEvent = std::pair<double, std::string>;

// A scripted modem: each write that begins with a rule's prefix is answered after a delay.
class FakeLine final : public SerialLine {
 public:
  explicit FakeLine(FakeClock& clock) : clock_(clock) {}

  // `onAttempt` 0 answers on every opening, N only on the Nth (and wins there).
  void Answer(std::string prefix, std::string reply, double after = 0.1, int onAttempt = 0);
  // Answers like a working modem and service.
  void AnswerAsWorkingService();
  // A write that begins with `prefix` raises `failure`, or else an EIO RunError.
  void FailOnWrite(std::string prefix, std::exception_ptr failure = nullptr) {
    failingPrefix_ = std::move(prefix);
    failure_ = failure;
  }

  void Open(int16_t port) override;
  bool IsOpen() const override { return open_; }
  std::string Device() const override { return "/dev/ttyFAKE0"; }
  void Close() override;
  void Write(std::string_view text) override;
  std::string ReadAll() override;
  void WaitUntil(MonotonicTime deadline) override { clock_.SleepUntil(deadline); }

  int openings() const { return openings_; }

  std::vector<LineEvent> events;
  // Each non-empty read, with the number of events before it, to order reads and writes.
  std::vector<std::pair<size_t, std::string>> reads;

 private:
  struct Rule {
    std::string prefix;
    std::string reply;
    double after;
    int onAttempt;
  };
  struct Reply {
    double due;
    std::string text;
  };

  const Rule* RuleFor(std::string_view text) const;

  FakeClock& clock_;
  std::vector<Rule> rules_;
  std::vector<Reply> scheduled_;
  std::string failingPrefix_;
  std::exception_ptr failure_;
  bool open_ = false;
  int openings_ = 0;
};

}  // namespace quorvex
