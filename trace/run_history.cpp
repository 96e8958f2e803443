#include "trace/run_history.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "base/exit_status.h"
#include "base/fd.h"
#include "base/text.h"

namespace quorvex {

std::string HistoryLine(std::string_view number, std::string_view outcome, int attempts,
                        int exitStatus) {
  return "to '" + QuotedValue(number) + "': " + std::string(outcome) + "; attempts " +
         std::to_string(attempts) + "; exit status " + std::to_string(exitStatus);
}

std::string StageHistoryLine(std::string_view stage, std::string_view outcome, int exitStatus) {
  return std::string(stage) + ": " + std::string(outcome) + "; exit status " +
         std::to_string(exitStatus);
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

namespace {

// "<PRI>Mmm dd hh:mm:ss TAG[PID]: TEXT", the form syslog(3) sends, facility user.
std::string SyslogDatagram(int priority, const std::tm& localTime, std::string_view tag, int pid,
                           std::string_view text) {
  char stamp[32];  // the process keeps the C locale, so the month is English as syslog wants
  std::strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &localTime);
  return "<" + std::to_string(LOG_USER | priority) + ">" + stamp + " " + std::string(tag) + "[" +
         std::to_string(pid) + "]: " + std::string(text);
}

}  // namespace

void SyslogHistory::Record(std::string_view line, int priority) {
  const std::string datagram =
      SyslogDatagram(priority, clock_.LocalTime(), "quorvex", ::getpid(), line);
  sockaddr_un logger{};
  logger.sun_family = AF_UNIX;
  std::strncpy(logger.sun_path, socketPath_.c_str(), sizeof logger.sun_path - 1);
  const Fd socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (socket.valid()) {
    ::sendto(socket.get(), datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
             reinterpret_cast<const sockaddr*>(&logger), sizeof logger);
  }
}

}  // namespace quorvex
