#include "app/run_history.h"

#include <syslog.h>

#include "app/exit_status.h"

namespace quorvex {

std::string HistoryLine(std::string_view number, std::string_view outcome, int attempts,
                        int exitStatus) {
  return "to " + std::string(number) + ": " + std::string(outcome) + "; attempts " +
         std::to_string(attempts) + "; exit status " + std::to_string(exitStatus);
}

int HistoryPriority(int exitStatus) {
  if (exitStatus == ExitStatus(Ending::kAccepted)) {
    return LOG_INFO;
  }
  if (exitStatus == ExitStatus(Ending::kNotDelivered) || exitStatus > 128) {
    return LOG_WARNING;
  }
  return LOG_ERR;
}

void SyslogHistory::Record(std::string_view line, int priority) {
  ::openlog("Quorvex", LOG_PID, LOG_USER);
  ::syslog(priority, "%.*s", static_cast<int>(line.size()), line.data());
  ::closelog();
}

}  // namespace quorvex
