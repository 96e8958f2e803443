#include "sim/options.h"

#include <map>
#include <optional>
#include <stdexcept>

namespace quorvex::sim {

const char* const kUsage =
    R"(Usage: quorvex-modem-sim --link PATH [options]

Plays a Hayes modem with the dial-up messaging service behind it on a pseudo-terminal,
so that Quorvex can run its whole job without a modem. Link PATH as COM<N> beside a copy
of Quorvex and set COMPORT=<N> in its Quorvex.ini. The modem answers AT commands with OK
and ATDT after the dial delay with CONNECT; then the service takes the recipient number
(first line) and the message (second line) and answers the CR that ends the message with
MESSAGE ACCEPTED. Closing the line hangs up; every opening is a new attempt. Like a real
modem it echoes command lines while echo is on (at power-up and after ATZ), ignores lines
that do not start with AT, and aborts a dial when anything arrives during it.
PATH must not exist yet, and the output files are refused if they are links or another
user's. Stops cleanly on SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2 or
SIGPIPE, and removes the link if it still leads to its own terminal.

Options:
  --link PATH           symbolic link to create to the pseudo-terminal (required)
  --transcript FILE     write every event with its monotonic time in seconds to FILE:
                          open N, close, recv "bytes", sent "bytes", note TEXT
  --received FILE       write every byte the modem receives, as it came, to FILE
  --modem ANSWER        how AT commands are answered: ok (default), silent, error
  --dial ANSWER         how ATDT is answered: connect (default), busy, no-carrier,
                          no-dial-tone, no-dialtone (as most chipsets word it), silent
  --pieces              send each answer a few bytes at a time, as real modems do
  --dial-delay SECONDS  time from ATDT to the dial answer (default 2)
  --accept WHEN         when the service answers MESSAGE ACCEPTED: on-cr (default,
                          the CR after the message), early (the message's first byte),
                          never
  --drop WHERE          where the call drops with NO CARRIER: never (default),
                          after-connect (right after CONNECT), after-number (as the
                          answer to the recipient number)
  --first K             attempts 1 to K use the --first-* answers, later ones the above
  --first-modem ANSWER  --modem for the first K attempts (default: as --modem)
  --first-dial ANSWER   --dial for the first K attempts (default: as --dial)
  --first-accept WHEN   --accept for the first K attempts (default: as --accept)
  --first-drop WHERE    --drop for the first K attempts (default: as --drop)
  --help                show this text
)";

namespace {

template <typename Value>
Value Lookup(const std::map<std::string, Value>& names, const std::string& option,
             const std::string& text) {
  const auto found = names.find(text);
  if (found == names.end()) {
    throw std::invalid_argument("unknown value '" + text + "' for " + option);
  }
  return found->second;
}

const std::map<std::string, ModemAnswer> kModemAnswers = {
    {"ok", ModemAnswer::kOk}, {"silent", ModemAnswer::kSilent}, {"error", ModemAnswer::kError}};
const std::map<std::string, DialAnswer> kDialAnswers = {
    {"connect", DialAnswer::kConnect},        {"busy", DialAnswer::kBusy},
    {"no-carrier", DialAnswer::kNoCarrier},   {"no-dial-tone", DialAnswer::kNoDialTone},
    {"no-dialtone", DialAnswer::kNoDialtone}, {"silent", DialAnswer::kSilent}};
const std::map<std::string, Acceptance> kAcceptances = {{"on-cr", Acceptance::kOnFinalCr},
                                                        {"early", Acceptance::kEarly},
                                                        {"never", Acceptance::kNever}};
const std::map<std::string, Drop> kDrops = {{"never", Drop::kNever},
                                            {"after-connect", Drop::kAfterConnect},
                                            {"after-number", Drop::kAfterNumber}};

// Finite and at most a day: an endless delay would only fail at the first dial.
double NonNegativeNumber(const std::string& option, const std::string& text) {
  size_t used = 0;
  double value = -1;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
  }
  if (used != text.size() || !(value >= 0 && value <= 86400)) {
    throw std::invalid_argument(option + " needs a number from 0 to 86400, not '" + text + "'");
  }
  return value;
}

// The --first-* answers default to the later ones, so they are kept apart until the end.
struct Parsed {
  SimOptions options;
  std::optional<ModemAnswer> firstModem;
  std::optional<DialAnswer> firstDial;
  std::optional<Acceptance> firstAcceptance;
  std::optional<Drop> firstDrop;
};

using Setter = void (*)(Parsed&, const std::string& option, const std::string& value);

const std::map<std::string, Setter> kSetters = {
    {"--link", [](Parsed& p, const std::string&, const std::string& v) { p.options.link = v; }},
    {"--transcript",
     [](Parsed& p, const std::string&, const std::string& v) { p.options.transcript = v; }},
    {"--received",
     [](Parsed& p, const std::string&, const std::string& v) { p.options.received = v; }},
    {"--modem",
     [](Parsed& p, const std::string& o, const std::string& v) {
       p.options.model.later.modem = Lookup(kModemAnswers, o, v);
     }},
    {"--dial",
     [](Parsed& p, const std::string& o, const std::string& v) {
       p.options.model.later.dial = Lookup(kDialAnswers, o, v);
     }},
    {"--accept",
     [](Parsed& p, const std::string& o, const std::string& v) {
       p.options.model.later.acceptance = Lookup(kAcceptances, o, v);
     }},
    {"--drop", [](Parsed& p, const std::string& o,
                  const std::string& v) { p.options.model.later.drop = Lookup(kDrops, o, v); }},
    {"--first-drop", [](Parsed& p, const std::string& o,
                        const std::string& v) { p.firstDrop = Lookup(kDrops, o, v); }},
    {"--dial-delay",
     [](Parsed& p, const std::string& o, const std::string& v) {
       p.options.model.dialDelay = NonNegativeNumber(o, v);
     }},
    {"--first",
     [](Parsed& p, const std::string& o, const std::string& v) {
       p.options.model.firstAttempts = static_cast<int>(NonNegativeNumber(o, v));
     }},
    {"--first-modem", [](Parsed& p, const std::string& o,
                         const std::string& v) { p.firstModem = Lookup(kModemAnswers, o, v); }},
    {"--first-dial", [](Parsed& p, const std::string& o,
                        const std::string& v) { p.firstDial = Lookup(kDialAnswers, o, v); }},
    {"--first-accept",
     [](Parsed& p, const std::string& o, const std::string& v) {
       p.firstAcceptance = Lookup(kAcceptances, o, v);
     }},
};

}  // namespace

SimOptions ParseOptions(const std::vector<std::string>& arguments) {
  Parsed parsed;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--help") {
      parsed.options.help = true;
      return parsed.options;
    }
    if (option == "--pieces") {
      parsed.options.pieces = true;
      continue;
    }
    const auto setter = kSetters.find(option);
    if (setter == kSetters.end()) {
      throw std::invalid_argument("unknown option " + option);
    }
    if (i + 1 == arguments.size()) {
      throw std::invalid_argument(option + " needs a value");
    }
    setter->second(parsed, option, arguments[++i]);
  }
  SimOptions& options = parsed.options;
  if (options.link.empty()) {
    throw std::invalid_argument("--link PATH is required");
  }
  options.model.first = {parsed.firstModem.value_or(options.model.later.modem),
                         parsed.firstDial.value_or(options.model.later.dial),
                         parsed.firstAcceptance.value_or(options.model.later.acceptance),
                         parsed.firstDrop.value_or(options.model.later.drop)};
  return options;
}

}  // namespace quorvex::sim
