#include "app/monitor.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "app/frm_quorvex.h"
#include "app/version.h"
#include "base/io.h"
#include "base/text.h"
#include "modem/posix_serial_line.h"
#include "queue/spool.h"

namespace quorvex {
namespace {

constexpr int kOk = 0;
constexpr int kWarning = 1;
constexpr int kCritical = 2;
constexpr int kUnknown = 3;

constexpr std::string_view kPluginUsage =
    "Usage: check_quorvex [-w SECONDS] [-c SECONDS]\n"
    "       check_quorvex --help | --version\n"
    "\n"
    "Checks the Quorvex alert path for Nagios, Icinga and their kin: the queue (items waiting,\n"
    "the age of the oldest, items in failed/) and the modem, which it asks to initialise as\n"
    "quorvex --check does. While a delivery or a drain holds the line it does not probe and\n"
    "says \"delivering\"; a user who may not use the port (not in dialout) gets what the last\n"
    "delivery of a drain recorded. WARNING when the oldest item is older than -w (600 s) or\n"
    "failed/ holds items, CRITICAL when it is older than -c (1800 s) or the modem fails,\n"
    "UNKNOWN when the spool cannot be read.\n";

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

// Asks the modem as --check does; nothing when this user may not use the log or the port.
std::optional<ModemState> Probe(const QueueTools& tools) {
  CapturedNotices told;
  PosixSerialLine line(tools.exeDir, tools.clock);
  frmQuorvex form({tools.exeDir, {}, told, tools.clock, line, tools.history, Command::kCheck});
  if (form.Form_Load() == 0) {
    return ModemState{ModemState::Kind::kAnswers, "modem answers"};
  }
  const std::optional<RunError>& error = form.LastRunError();
  if (error &&
      (error->failure() == Failure::kLogInUse || error->failure() == Failure::kPortInUse)) {
    return ModemState{ModemState::Kind::kDelivering, "delivering"};
  }
  if (error && error->failure() == Failure::kSystem && error->number() == EACCES) {
    return std::nullopt;
  }
  return ModemState{ModemState::Kind::kFailing, BlankControls(told.last)};
}

QueueState Measure(const Spool& spool, std::time_t now) {
  QueueState state;
  for (const Folder folder : {Folder::kCur, Folder::kNew}) {
    for (const std::string& name : spool.Names(folder)) {
      ++state.queued;
      const ItemRead item = spool.Read(folder, name);
      if (item.problem.empty()) {
        state.oldest = std::max(state.oldest, static_cast<long long>(now - item.queuedAt));
      }
    }
  }
  state.failed = spool.Names(Folder::kFailed).size();
  return state;
}

// The number after -w or -c, or nothing when it is no whole number of seconds.
std::optional<long long> Seconds(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  const long long value = std::strtoll(text.c_str(), &end, 10);
  return text.empty() || *end != '\0' || errno != 0 || value < 0 ? std::nullopt
                                                                 : std::optional(value);
}

int Print(std::string_view text, int status) {
  return WriteAll(STDOUT_FILENO, text) == 0 ? status : kUnknown;
}

int Unknown(const std::string& why) {
  return Print("QUORVEX UNKNOWN - " + why + "\n", kUnknown);
}

}  // namespace

Verdict Judge(const QueueState& queue, const ModemState& modem, long long warning,
              long long critical) {
  int status = queue.oldest > critical ? kCritical : queue.oldest > warning ? kWarning : kOk;
  std::string text = std::to_string(queue.queued) + " queued";
  if (queue.queued > 0) {
    text += " (oldest " + Age(queue.oldest) + ")";
  }
  text += ", " + modem.text;
  status = modem.kind == ModemState::Kind::kFailing ? kCritical : status;
  if (queue.failed > 0) {
    text += ", " + std::to_string(queue.failed) + " failed";
    status = std::max(status, kWarning);
  }
  constexpr const char* kWords[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
  return {status, "QUORVEX " + std::string(kWords[status]) + " - " + text + " | queued=" +
                      std::to_string(queue.queued) + ";;;0 oldest=" + std::to_string(queue.oldest) +
                      "s;" + std::to_string(warning) + ";" + std::to_string(critical) +
                      ";0 failed=" + std::to_string(queue.failed) + ";;;0"};
}

ModemState ModemFromRecord(const std::optional<std::string>& record, std::time_t now) {
  std::istringstream lines(record.value_or(""));
  long long at = 0;
  int status = -1;
  int refused = 0;
  for (std::string word; lines >> word;) {
    if (word == "delivery") {
      lines >> at >> status >> refused;
    }
  }
  const std::string ago = ", " + Age(now - at) + " ago";
  if (status < 0) {
    return {ModemState::Kind::kUnknown, "modem not checked (no delivery recorded)"};
  }
  if (status == 0 || refused != 0) {
    return {ModemState::Kind::kAnswers, "modem answered at the last delivery" + ago};
  }
  return {ModemState::Kind::kFailing,
          "the last delivery failed with exit status " + std::to_string(status) + ago};
}

std::string DeliveryRecord(const std::optional<std::string>& previous, std::time_t now, int status,
                           bool refused) {
  std::string accepted = "accepted " + std::to_string(now) + "\n";
  if (status != 0) {
    const size_t at = previous ? previous->find("accepted ") : std::string::npos;
    accepted =
        at == std::string::npos ? "" : previous->substr(at, previous->find('\n', at) - at + 1);
  }
  return "delivery " + std::to_string(now) + " " + std::to_string(status) + " " +
         (refused ? "1" : "0") + "\n" + accepted;
}

int CheckQuorvex(const std::vector<std::string>& arguments, const QueueTools& tools) {
  long long limits[] = {600, 1800};
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "-h" || option == "--help") {
      return Print(kPluginUsage, kOk);
    }
    if (option == "-V" || option == "--version") {
      return Print("check_quorvex (Quorvex) " + std::string(kVersionNumber) + "\n", kOk);
    }
    const std::optional<long long> value =
        (option == "-w" || option == "-c") && i + 1 < arguments.size() ? Seconds(arguments[++i])
                                                                       : std::nullopt;
    if (!value) {
      return Print("QUORVEX UNKNOWN - bad arguments\n" + std::string(kPluginUsage), kUnknown);
    }
    limits[option == "-c" ? 1 : 0] = *value;
  }
  try {
    const std::optional<Spool> spool = Spool::Open(tools.exeDir, false);
    const std::time_t now = tools.clock.WallTime();
    const QueueState queue = spool ? Measure(*spool, now) : QueueState{};
    const std::optional<ModemState> probed = Probe(tools);
    const ModemState modem =
        probed ? *probed : ModemFromRecord(spool ? spool->Recorded() : std::nullopt, now);
    const Verdict verdict = Judge(queue, modem, limits[0], limits[1]);
    return Print(verdict.line + "\n", verdict.status);
  } catch (const RunError& error) {
    return Unknown("cannot read the queue: " + error.description());
  }
}

}  // namespace quorvex
