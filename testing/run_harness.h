#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/frm_quorvex.h"
#include "testing/fakes.h"
#include "testing/test.h"

namespace quorvex {

// What crossed the line, and when: {seconds since start, text}. Opening and closing
// show as "<open COMn>" and "<close>".
using LineEvent = std::pair<double, std::string>;

// A scripted modem: each write that begins with a rule's prefix is answered after a delay.
class FakeLine final : public SerialLine {
 public:
  explicit FakeLine(FakeClock& clock) : clock_(clock) {}

  // `onAttempt` 0 answers on every opening, N only on the Nth (and wins there).
  void Answer(std::string prefix, std::string reply, double after = 0.1, int onAttempt = 0) {
    rules_.push_back({std::move(prefix), std::move(reply), after, onAttempt});
  }
  // Answers like a working modem and service.
  void AnswerAsWorkingService() {
    Answer("AT&F", "\r\nOK\r\n");
    Answer("ATDT", "\r\nCONNECT 9600\r\n", 18);
    Answer("\r", "\r\nMESSAGE ACCEPTED\r\n", 0.5);
  }
  // A write that begins with `prefix` raises `failure`.
  void FailOnWrite(std::string prefix, std::exception_ptr failure) {
    failingPrefix_ = std::move(prefix);
    failure_ = failure;
  }

  void Open(int16_t port) override {
    if (std::exchange(open_, true)) {
      throw std::logic_error("fake line opened twice");
    }
    ++openings_;
    events.emplace_back(clock_.Elapsed(), "<open COM" + std::to_string(port) + ">");
  }
  bool IsOpen() const override { return open_; }
  std::string Device() const override { return "/dev/ttyFAKE0"; }
  void Close() override {
    events.emplace_back(clock_.Elapsed(), "<close>");
    open_ = false;
    scheduled_.clear();
  }
  void Write(std::string_view text) override {
    if (failure_ && text.starts_with(failingPrefix_)) {
      std::rethrow_exception(failure_);
    }
    if (!text.empty()) {
      events.emplace_back(clock_.Elapsed(), std::string(text));
    }
    if (const Rule* rule = text.empty() ? nullptr : RuleFor(text)) {
      scheduled_.push_back({clock_.Elapsed() + rule->after, rule->reply});
    }
  }
  std::string ReadAll() override {
    std::string received;
    std::erase_if(scheduled_, [&](const Reply& reply) {
      const bool due = reply.due <= clock_.Elapsed();
      received += due ? reply.text : "";
      return due;
    });
    if (!received.empty()) {
      reads.emplace_back(events.size(), received);
    }
    return received;
  }
  void WaitUntil(MonotonicTime deadline) override { clock_.SleepUntil(deadline); }
  // The fake line sends at once, so virtual schedules stay exact.
  MonotonicTime AwaitSent() override { return clock_.Now(); }

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

  // A rule for this very attempt overrides the rules for every attempt.
  const Rule* RuleFor(std::string_view text) const {
    const Rule* chosen = nullptr;
    for (const Rule& rule : rules_) {
      const bool applies = rule.onAttempt == 0 || rule.onAttempt == openings_;
      if (text.starts_with(rule.prefix) && applies && (!chosen || rule.onAttempt != 0)) {
        chosen = &rule;
      }
    }
    return chosen;
  }

  FakeClock& clock_;
  std::vector<Rule> rules_;
  std::vector<Reply> scheduled_;
  std::string failingPrefix_;
  std::exception_ptr failure_;
  bool open_ = false;
  int openings_ = 0;
};

// Keeps what the user would be told, in order: each notice after its kind ("critical: ",
// "warning: " or nothing), each report to standard output after "stdout: ".
class RecordingNotices : public NoticeSink {
 public:
  void Notify(std::string_view text, NoticeKind kind) override {
    const char* prefix = kind == NoticeKind::kCritical  ? "critical: "
                         : kind == NoticeKind::kWarning ? "warning: "
                                                        : "";
    said.push_back(prefix + std::string(text));
  }
  int Report(std::string_view text) override {
    said.push_back("stdout: " + std::string(text));
    return reportError;
  }
  int reportError = 0;  // what Report returns, as a failed write would
  std::vector<std::string> said;
};

// A whole run in virtual time, beside a scratch Quorvex.ini, against the scripted line.
struct RunHarness {
  RunHarness() = default;
  // Runs in `shared`, which outlives the harness: a fuzzer's many runs use one directory.
  explicit RunHarness(const TestDir& shared) : ownDir(std::nullopt), dir(shared) {}

  int Run(std::vector<std::string> arguments) {
    const Command command = ReadCommandLine(arguments).command;
    frmQuorvex form({dir.path(), std::move(arguments), notices, clock, line, history, command});
    const int status = form.Form_Load();
    refused = form.ServiceRefused();
    return status;
  }

  // The log with each timestamp shown as whole seconds since 14:07:03: "+39 text".
  std::vector<std::string> Log() const {
    std::vector<std::string> lines = LogLines(dir.Read("Quorvex.log"));
    std::ranges::transform(lines, lines.begin(), RelativeLine);
    return lines;
  }

  static std::string RelativeLine(std::string_view line) {
    int hours = 0, minutes = 0, seconds = 0;
    EXPECT_EQ(std::sscanf(std::string(line).c_str(), "05/03/2026 %2d:%2d:%2d ", &hours, &minutes,
                          &seconds),
              3)
        << line;
    const int since = (hours - 14) * 3600 + (minutes - 7) * 60 + (seconds - 3);
    return "+" + std::to_string(since) + std::string(line.substr(19));
  }

  std::optional<TestDir> ownDir{std::in_place};
  const TestDir& dir = *ownDir;
  RecordingNotices notices;
  FakeClock clock;
  FakeLine line{clock};
  RecordingHistory history;
  bool refused = false;  // what the last run would tell a drain
};

}  // namespace quorvex
