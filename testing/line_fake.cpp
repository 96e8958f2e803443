#include "testing/line_fake.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include "base/run_error.h"
#include "base/stop_signals.h"

namespace quorvex {

std::tm FakeClock::LocalTime() {
  constexpr std::time_t kStartOfTime = 1772719623;  // 05/03/2026 14:07:03 UTC
  const std::time_t now = kStartOfTime + static_cast<std::time_t>(Elapsed());
  std::tm local{};
  ::gmtime_r(&now, &local);
  return local;
}

void FakeClock::SleepUntil(MonotonicTime deadline) {
  if (wakeStep_.count() > 0) {
    deadline = std::min(deadline, now_ + wakeStep_);
  }
  now_ = std::max(now_, deadline);
  if (stop_ && Elapsed() >= stop_->first) {
    now_ = kStart + std::chrono::duration_cast<std::chrono::nanoseconds>(Seconds(stop_->first));
    const int signal = stop_->second;
    stop_.reset();
    throw StopError(signal);
  }
}

void FakeLine::Answer(std::string prefix, std::string reply, double after, int onAttempt) {
  rules_.push_back({std::move(prefix), std::move(reply), after, onAttempt});
}

void FakeLine::AnswerAsWorkingService() {
  Answer("AT&F", "\r\nOK\r\n");
  Answer("ATDT", "\r\nCONNECT 9600\r\n", 18);
  Answer("\r", "\r\nMESSAGE ACCEPTED\r\n", 0.5);
}

void FakeLine::Open(int16_t port) {
  if (open_) {
    throw std::logic_error("fake line opened twice");
  }
  ++openings_;
  events.emplace_back(clock_.Elapsed(), "<open COM" + std::to_string(port) + ">");
  open_ = true;
}

void FakeLine::Close() {
  events.emplace_back(clock_.Elapsed(), "<close>");
  open_ = false;
  scheduled_.clear();
}

// A rule for this very attempt overrides the rules for every attempt.
const FakeLine::Rule* FakeLine::RuleFor(std::string_view text) const {
  const Rule* chosen = nullptr;
  for (const Rule& rule : rules_) {
    const bool applies = rule.onAttempt == 0 || rule.onAttempt == openings_;
    if (text.starts_with(rule.prefix) && applies && (!chosen || rule.onAttempt != 0)) {
      chosen = &rule;
    }
  }
  return chosen;
}

void FakeLine::Write(std::string_view text) {
  if (!failingPrefix_.empty() && text.starts_with(failingPrefix_)) {
    if (failure_) {
      std::rethrow_exception(failure_);
    }
    throw RunError(EIO, "Cannot write to serial port COM2 (fake): Input/output error");
  }
  if (text.empty()) {
    return;
  }
  events.emplace_back(clock_.Elapsed(), std::string(text));
  if (const Rule* rule = RuleFor(text)) {
    scheduled_.push_back({clock_.Elapsed() + rule->after, rule->reply});
  }
}

std::string FakeLine::ReadAll() {
  std::string received;
  std::erase_if(scheduled_, [&](const Reply& reply) {
    if (reply.due > clock_.Elapsed()) {
      return false;
    }
    received += reply.text;
    return true;
  });
  if (!received.empty()) {
    reads.emplace_back(events.size(), received);
  }
  return received;
}

}  // namespace quorvex
