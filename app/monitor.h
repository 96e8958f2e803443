#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "app/queue_commands.h"

namespace quorvex {

// What the modem's side came to for a monitoring check.
struct ModemState {
  enum class Kind { kAnswers, kDelivering, kFailing, kUnknown };
  Kind kind = Kind::kUnknown;
  std::string text;  // "modem answers", "delivering", "modem ... did not answer ..."
};

// What the queue holds: entries waiting (new/ and cur/), failed ones, and the age in seconds
// of the oldest waiting.
struct QueueState {
  size_t queued = 0;
  size_t failed = 0;
  long long oldest = 0;
};

// The plugin's verdict: its exit status (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN) and its one
// line, "QUORVEX OK - 0 queued, modem answers | queued=0;;;0 oldest=0s;600;1800;0 ...".
struct Verdict {
  int status;
  std::string line;
};
Verdict Judge(const QueueState& queue, const ModemState& modem, long long warning,
              long long critical);

// What the last delivery of a drain recorded in the spool, as a check that cannot probe the
// modem itself (a monitoring user outside dialout) reads it: "delivery TIME STATUS REFUSED"
// and "accepted TIME" lines.
ModemState ModemFromRecord(const std::optional<std::string>& record, std::time_t now);
std::string DeliveryRecord(const std::optional<std::string>& previous, std::time_t now, int status,
                           bool refused);

// check_quorvex [-w SECONDS] [-c SECONDS]: a Nagios plugin on the queue and the modem. The
// program runs as it when called by that name (the package links it into Debian's place for
// plugins).
int CheckQuorvex(const std::vector<std::string>& arguments, const QueueTools& tools);

}  // namespace quorvex
