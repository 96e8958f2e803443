#include "spooler/monitor.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "app/frm_quorvex.h"
#include "app/version.h"
#include "base/io.h"
#include "base/stop_signals.h"
#include "base/text.h"
#include "modem/posix_serial_line.h"
#include "queue/spool.h"

namespace quorvex {
namespace {

constexpr int kOk = 0;
constexpr int kWarning = 1;
constexpr int kCritical = 2;
constexpr int kUnknown = 3;

constexpr std::string_view kPluginUsageLine =
    "Usage: check_quorvex [-w RANGE] [-c RANGE] [-t SECONDS] | -h | -V\n";
constexpr std::string_view kPluginHelp =
    "\n"
    "Checks the Quorvex alert path for Nagios, Icinga and their kin: the queue (items waiting,\n"
    "the age of the oldest, items in failed/) and the modem, which it asks to initialise as\n"
    "quorvex --check does. While a delivery holds the installation it does not probe and says\n"
    "\"delivering\"; a port held by any other program is CRITICAL. A user who may not use the\n"
    "port (not in dialout) gets the modem's latest look that the drain recorded; a record\n"
    "older than two hours, or none, is UNKNOWN.\n"
    "\n"
    "  -w, --warning RANGE   the oldest item's age in seconds that warns (600)\n"
    "  -c, --critical RANGE  the age that is critical (1800)\n"
    "  -t, --timeout SECONDS UNKNOWN after this long, the port released (10)\n"
    "  -h, --help            this text;  -V, --version  the version\n"
    "\n"
    "RANGE as the Monitoring Plugins have it: 10, 10:, ~:10, 10:20, @10:20. WARNING also when\n"
    "failed/ holds items, CRITICAL when the modem fails, UNKNOWN when nothing can be known.\n";

// Keeps what the check would have told, for the plugin's line instead.
class CapturedNotices final : public NoticeSink {
 public:
  void Notify(std::string_view text, NoticeKind) override { last = text; }
  int Report(std::string_view text) override {
    last = text;
    return 0;
  }
  std::string last;
};

QueueState Measure(const Spool& spool, std::time_t now) {
  QueueState state;
  for (const Folder folder : {Folder::kCur, Folder::kWaiting, Folder::kNew}) {
    for (const std::string& name : spool.Names(folder)) {
      ++state.queued;
      const ItemRead item = spool.Read(folder, name);
      if (item.error == 0) {
        state.oldest = std::max(state.oldest, static_cast<long long>(now - item.arrived));
      }
    }
  }
  state.failed = spool.Names(Folder::kFailed).size();
  return state;
}

bool Number(std::string_view text, double& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return !text.empty() && error == std::errc() && end == text.data() + text.size() &&
         std::isfinite(value);
}

// An upper threshold: alerts above its end only.
bool IsUpperThreshold(const Range& range) {
  return !range.inside && !range.endless && (range.startless || range.start == 0);
}

// "--warning=600" and "-w600" as getopt reads them: the option, then its value.
std::vector<std::string> AsSeparateWords(const std::vector<std::string>& arguments) {
  std::vector<std::string> words;
  for (const std::string& argument : arguments) {
    const size_t equals = argument.starts_with("--") ? argument.find('=') : std::string::npos;
    const bool attached = argument.size() > 2 && argument[0] == '-' &&
                          std::string_view("wct").find(argument[1]) != std::string_view::npos;
    if (equals != std::string::npos || attached) {
      const size_t at = attached ? 2 : equals;
      words.push_back(argument.substr(0, at));
      words.push_back(argument.substr(attached ? 2 : equals + 1));
    } else {
      words.push_back(argument);
    }
  }
  return words;
}

// Sets the option to `value`; returns why it cannot be, or nothing.
std::string SetOption(const std::string& option, const std::string& value, PluginOptions& options) {
  if (option == "-t" || option == "--timeout") {
    double seconds = 0;
    const bool whole =
        Number(value, seconds) && seconds >= 1 && seconds <= 3600 && seconds == std::floor(seconds);
    options.timeout = static_cast<int>(seconds);
    return whole ? "" : "the timeout is whole seconds from 1 to 3600";
  }
  const std::optional<Range> range = ParseRange(value);
  if (!range) {
    return "'" + PrintableName(value) + "' is not a range";
  }
  (option == "-w" || option == "--warning" ? options.warning : options.critical) = *range;
  return "";
}

// Text from outside (a modem's answer) must not end the text early or open the perfdata.
std::string PluginText(std::string text) {
  text = BlankControls(std::move(text));
  std::replace(text.begin(), text.end(), '|', '/');
  return text;
}

int Print(std::string_view text, int status) {
  return WriteAll(STDOUT_FILENO, text) == 0 ? status : kUnknown;
}

int Unknown(const std::string& why) {
  return Print("QUORVEX UNKNOWN - " + PluginText(why) + "\n", kUnknown);
}

// What the record says of the modem when this user may not look, and when the service last
// accepted; a record that cannot be read is no answer.
std::pair<ModemState, std::optional<long long>> FromTheRecord(const Spool::Recording& recorded,
                                                              const std::string& where,
                                                              std::time_t now) {
  if (recorded.error != 0 && recorded.error != ENOENT) {
    return {
        {ModemState::Kind::kUnknown, "cannot read " + where + ": " + std::strerror(recorded.error)},
        std::nullopt};
  }
  const StatusRecord record = ParseStatusRecord(recorded.text);
  const std::optional<long long> ago =
      record.accepted ? std::optional<long long>(now - *record.accepted) : std::nullopt;
  return {ModemFromRecord(record, now), ago};
}

}  // namespace

bool Range::Alerts(double value) const {
  const bool within = (startless || value >= start) && (endless || value <= end);
  return inside ? within : !within;
}

std::optional<Range> ParseRange(const std::string& text) {
  Range range;
  range.text = text;
  std::string_view rest = text;
  if (rest.starts_with('@')) {
    range.inside = true;
    rest.remove_prefix(1);
  }
  const size_t colon = rest.find(':');
  if (colon != std::string_view::npos) {
    const std::string_view start = rest.substr(0, colon);
    range.startless = start == "~";
    if (!range.startless && !start.empty() && !Number(start, range.start)) {
      return std::nullopt;
    }
    rest.remove_prefix(colon + 1);
    range.endless = rest.empty();
  }
  if (!range.endless && !Number(rest, range.end)) {
    return std::nullopt;
  }
  if (!range.startless && !range.endless && range.start > range.end) {
    return std::nullopt;
  }
  return range;
}

PluginRequest ParsePluginArguments(const std::vector<std::string>& arguments) {
  PluginRequest request;
  const std::vector<std::string> words = AsSeparateWords(arguments);
  for (size_t i = 0; i < words.size() && request.misuse.empty(); i += 2) {
    const std::string& option = words[i];
    if (option == "-h" || option == "--help" || option == "-V" || option == "--version") {
      request.action =
          option == "-h" || option == "--help" ? PluginAction::kHelp : PluginAction::kVersion;
      return request;
    }
    const bool known = option == "-w" || option == "--warning" || option == "-c" ||
                       option == "--critical" || option == "-t" || option == "--timeout";
    request.misuse = !known                  ? "unknown argument '" + PrintableName(option) + "'"
                     : i + 1 == words.size() ? option + " needs a value"
                                             : SetOption(option, words[i + 1], request.options);
  }
  const PluginOptions& options = request.options;
  if (request.misuse.empty() && IsUpperThreshold(options.warning) &&
      IsUpperThreshold(options.critical) && options.warning.end > options.critical.end) {
    request.misuse = "the warning threshold is above the critical one";
  }
  return request;
}

Verdict Judge(const QueueState& queue, const ModemState& modem,
              std::optional<long long> acceptedAgo, const PluginOptions& options) {
  const auto oldest = static_cast<double>(queue.oldest);
  int status = options.critical.Alerts(oldest)  ? kCritical
               : options.warning.Alerts(oldest) ? kWarning
                                                : kOk;
  std::string text = std::to_string(queue.queued) + " queued";
  if (queue.queued > 0) {
    text += " (oldest " + Age(queue.oldest) + ")";
  }
  text += ", " + modem.text;
  if (queue.failed > 0) {
    text += ", " + std::to_string(queue.failed) + " failed";
    status = std::max(status, kWarning);
  }
  if (acceptedAgo) {
    text += ", last accepted " + Age(*acceptedAgo) + " ago";
  }
  // Critical outranks the unknown, which outranks a warning: nobody could look.
  if (modem.kind == ModemState::Kind::kFailing) {
    status = kCritical;
  } else if (modem.kind == ModemState::Kind::kUnknown && status != kCritical) {
    status = kUnknown;
  }
  constexpr const char* kWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  return {status,
          Concat({"QUORVEX ", kWords[status], " - ", PluginText(text),
                  " | queued=", std::to_string(queue.queued),
                  ";;;0 oldest=", std::to_string(queue.oldest), "s;", options.warning.text, ";",
                  options.critical.text, ";0 failed=", std::to_string(queue.failed), ";;;0",
                  acceptedAgo ? " last_accepted=" + std::to_string(*acceptedAgo) + "s;;;0" : ""})};
}

ModemState ModemFromRecord(const StatusRecord& record, std::time_t now) {
  if (!record.latest) {
    return {ModemState::Kind::kUnknown, "modem not checked (no delivery recorded)"};
  }
  const Look& look = *record.latest;
  const std::string ago = Age(now - look.at) + " ago";
  if (now - look.at > kLookExpiry) {
    return {ModemState::Kind::kUnknown, "modem not looked at since " + ago};
  }
  if (look.kind == LookKind::kCheck) {
    return {look.status == 0 ? ModemState::Kind::kAnswers : ModemState::Kind::kFailing,
            look.words + ", " + ago};
  }
  if (look.status == 0 || look.refused) {
    return {ModemState::Kind::kAnswers, "modem answered at the last delivery, " + ago};
  }
  return {ModemState::Kind::kFailing,
          "the last delivery failed with exit status " + std::to_string(look.status) + ", " + ago};
}

std::optional<ModemState> ProbeModem(const QueueTools& tools) {
  CapturedNotices told;
  PosixSerialLine line(tools.exeDir, tools.clock);
  frmQuorvex form({tools.exeDir, {}, told, tools.clock, line, tools.history, Command::kCheck});
  if (form.Form_Load() == 0) {
    return ModemState{ModemState::Kind::kAnswers, "modem answers"};
  }
  const std::optional<RunError>& error = form.LastRunError();
  const Failure failure = error ? error->failure() : Failure::kSystem;
  if (failure == Failure::kStopped) {
    throw *error;
  }
  if (failure == Failure::kLogInUse) {
    return ModemState{ModemState::Kind::kDelivering, "delivering"};
  }
  if (failure == Failure::kLogInCheck) {
    return ModemState{ModemState::Kind::kUnknown, "another check held the installation"};
  }
  if (failure == Failure::kSystem && error && error->number() == EACCES) {
    return std::nullopt;
  }
  return ModemState{ModemState::Kind::kFailing, BlankControls(told.last)};
}

int CheckQuorvex(const std::vector<std::string>& arguments, const QueueTools& tools) {
  const PluginRequest request = ParsePluginArguments(arguments);
  if (!request.misuse.empty()) {
    return Print("QUORVEX UNKNOWN - " + request.misuse + "\n" + std::string(kPluginUsageLine),
                 kUnknown);
  }
  if (request.action != PluginAction::kCheck) {
    return request.action == PluginAction::kHelp
               ? Print(std::string(kPluginUsageLine) + std::string(kPluginHelp), kOk)
               : Print("check_quorvex (Quorvex) " + std::string(kVersionNumber) + "\n", kOk);
  }
  // SIGALRM is a stop: the look ends in its next wait, and the port is let go.
  ::alarm(static_cast<unsigned>(request.options.timeout));
  try {
    const std::optional<Spool> spool = Spool::Open(tools.exeDir, SpoolOpening::kExisting);
    const std::time_t now = tools.clock.WallTime();
    const QueueState queue = spool ? Measure(*spool, now) : QueueState{};
    const auto [recorded, acceptedAgo] =
        spool ? FromTheRecord(spool->Recorded(), spool->path() + "/status", now)
              : FromTheRecord({ENOENT, ""}, "", now);
    const std::optional<ModemState> probed = ProbeModem(tools);
    const Verdict verdict = Judge(queue, probed.value_or(recorded), acceptedAgo, request.options);
    return Print(verdict.line + "\n", verdict.status);
  } catch (const RunError& error) {
    if (error.failure() == Failure::kStopped) {
      return Unknown(error.number() == SIGALRM
                         ? "timed out after " + std::to_string(request.options.timeout) + " s"
                         : "stopped by " + SignalName(error.number()));
    }
    return Unknown("cannot read the queue: " + error.description());
  }
}

}  // namespace quorvex
