#pragma once

#include <ctime>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace quorvex {

// Where each run that opened its log leaves one line, so that an admin has a history of
// what was sent and why runs stopped (journalctl -t quorvex).
class RunHistory {
 public:
  virtual ~RunHistory() = default;
  // `priority` is syslog's (LOG_INFO, LOG_WARNING, ...).
  virtual void Record(std::string_view line, int priority) = 0;
};

// Puts `prefix` before each line: a delivery started by a drain names its item.
class PrefixedHistory final : public RunHistory {
 public:
  PrefixedHistory(RunHistory& to, std::string prefix) : to_(to), prefix_(std::move(prefix)) {}
  void Record(std::string_view line, int priority) override {
    to_.Record(prefix_ + std::string(line), priority);
  }

 private:
  RunHistory& to_;
  std::string prefix_;
};

// "to 'NUMBER': OUTCOME; attempts N; exit status S", the number quoted as error texts quote
// values, so that a line always fits in a datagram.
std::string HistoryLine(std::string_view number, std::string_view outcome, int attempts,
                        int exitStatus);
// "STAGE: OUTCOME; exit status S", for a run that stopped before its request was known.
std::string StageHistoryLine(std::string_view stage, std::string_view outcome, int exitStatus);
// Info for a delivery, a warning for "try again later", an error for the rest.
int HistoryPriority(int exitStatus);

// Sends each line as one datagram to the system logger, tagged quorvex, without waiting:
// a logger that is missing, full or refusing loses the line, and the run goes on at once.
// syslog(3) would block on a full socket with the stop signals held off.
class SyslogHistory final : public RunHistory {
 public:
  explicit SyslogHistory(Clock& clock, std::string socketPath = "/dev/log")
      : clock_(clock), socketPath_(std::move(socketPath)) {}
  void Record(std::string_view line, int priority) override;

 private:
  Clock& clock_;
  std::string socketPath_;
};

}  // namespace quorvex
