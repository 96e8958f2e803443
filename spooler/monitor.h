#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "queue/status_record.h"
#include "spooler/tools.h"

namespace quorvex {

// What the modem's side came to for a monitoring check. kUnknown: nobody could look.
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

// A threshold in the Monitoring Plugins' syntax: "10" (alert outside 0..10), "10:" (below
// 10), "~:10" (above 10), "10:20" (outside), "@10:20" (inside, ends included).
struct Range {
  double start = 0;
  double end = 0;
  bool startless = false;  // "~"
  bool endless = false;    // "10:"
  bool inside = false;     // "@"
  std::string text;        // as given, for the perfdata
  bool Alerts(double value) const;
};
// The range `text` stands for, or nothing when it is not one.
std::optional<Range> ParseRange(const std::string& text);

struct PluginOptions {
  Range warning = *ParseRange("600");
  Range critical = *ParseRange("1800");
  int timeout = 10;  // seconds
};
enum class PluginAction { kCheck, kHelp, kVersion };
// The options, or why they are unusable (a line for the usage message).
struct PluginRequest {
  PluginAction action = PluginAction::kCheck;
  PluginOptions options;
  std::string misuse;
};
PluginRequest ParsePluginArguments(const std::vector<std::string>& arguments);

// The plugin's verdict: its exit status (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN) and its one
// line, "QUORVEX OK - 0 queued, modem answers | queued=0;;;0 oldest=0s;600;1800;0 ...".
// Nothing from outside can put a "|" or a line break before the perfdata.
struct Verdict {
  int status;
  std::string line;
};
Verdict Judge(const QueueState& queue, const ModemState& modem,
              std::optional<long long> acceptedAgo, const PluginOptions& options);

// What the spool's record tells of the modem, for a check that may not look itself: the
// latest look, unless it is older than kLookExpiry.
ModemState ModemFromRecord(const StatusRecord& record, std::time_t now);

// Looks at the modem as --check does, for a check or a drain: nothing when this user may
// not use the log or the port. Raises the stop that ended the look.
std::optional<ModemState> ProbeModem(const QueueTools& tools);

// check_quorvex [-w RANGE] [-c RANGE] [-t SECONDS]: a Nagios plugin on the queue and the
// modem. The program runs as it when called by that name (the package links it into
// Debian's place for plugins).
int CheckQuorvex(const std::vector<std::string>& arguments, const QueueTools& tools);

}  // namespace quorvex
