#pragma once

#include <string>
#include <string_view>

namespace quorvex {

// Where each run that got past its request leaves one line, so that an admin has a history
// of what was sent (journalctl -t Quorvex).
class RunHistory {
 public:
  virtual ~RunHistory() = default;
  // `priority` is syslog's (LOG_INFO, LOG_WARNING, ...).
  virtual void Record(std::string_view line, int priority) = 0;
};

// "to NUMBER: OUTCOME; attempts N; exit status S"
std::string HistoryLine(std::string_view number, std::string_view outcome, int attempts,
                        int exitStatus);
// Info for a delivery, a warning for "try again later", an error for the rest.
int HistoryPriority(int exitStatus);

// syslog(3) with ident Quorvex and facility user. Where no system logger listens, the line
// is lost and nothing fails.
class SyslogHistory final : public RunHistory {
 public:
  void Record(std::string_view line, int priority) override;
};

}  // namespace quorvex
