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
MESSAGE ACCEPTED. Closing the line hangs up; every opening is a new attempt.
Stops cleanly on SIGTERM or SIGINT and removes the link.

Options:
  --link PATH           symbolic link to create to the pseudo-terminal (required)
  --transcript FILE     write every event with its monotonic time in seconds to FILE:
                          open N, close, recv "bytes", sent "bytes", note TEXT
  --modem ANSWER        how AT commands are answered: ok (default), silent, error
  --dial ANSWER         how ATDT is answered: connect (default), busy, no-carrier,
                          no-dial-tone, silent
  --dial-delay SECONDS  time from ATDT to the dial answer (default 2)
  --accept WHEN         when the service answers MESSAGE ACCEPTED: on-cr (default,
                          the CR after the message), early (the message's first byte),
                          never
  --first K             attempts 1 to K use the --first-* answers, later ones the above
  --first-modem ANSWER  --modem for the first K attempts (default: as --modem)
  --first-dial ANSWER   --dial for the first K attempts (default: as --dial)
  --first-accept WHEN   --accept for the first K attempts (default: as --accept)
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
const std::map<std::string, DialAnswer> kDialAnswers = {{"connect", DialAnswer::kConnect},
                                                        {"busy", DialAnswer::kBusy},
                                                        {"no-carrier", DialAnswer::kNoCarrier},
                                                        {"no-dial-tone", DialAnswer::kNoDialTone},
                                                        {"silent", DialAnswer::kSilent}};
const std::map<std::string, Acceptance> kAcceptances = {{"on-cr", Acceptance::kOnFinalCr},
                                                        {"early", Acceptance::kEarly},
                                                        {"never", Acceptance::kNever}};

double NonNegativeNumber(const std::string& option, const std::string& text) {
  size_t used = 0;
  double value = -1;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception&) {
  }
  if (used != text.size() || !(value >= 0)) {
    throw std::invalid_argument(option + " needs a number of at least 0, not '" + text + "'");
  }
  return value;
}

}  // namespace

SimOptions ParseOptions(const std::vector<std::string>& arguments) {
  SimOptions options;
  std::optional<ModemAnswer> firstModem;
  std::optional<DialAnswer> firstDial;
  std::optional<Acceptance> firstAcceptance;
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& option = arguments[i];
    if (option == "--help") {
      options.help = true;
      return options;
    }
    if (i + 1 == arguments.size()) {
      throw std::invalid_argument(option.starts_with("--") ? option + " needs a value"
                                                           : "unknown option " + option);
    }
    const std::string& value = arguments[++i];
    if (option == "--link") {
      options.link = value;
    } else if (option == "--transcript") {
      options.transcript = value;
    } else if (option == "--modem") {
      options.model.later.modem = Lookup(kModemAnswers, option, value);
    } else if (option == "--dial") {
      options.model.later.dial = Lookup(kDialAnswers, option, value);
    } else if (option == "--accept") {
      options.model.later.acceptance = Lookup(kAcceptances, option, value);
    } else if (option == "--dial-delay") {
      options.model.dialDelay = NonNegativeNumber(option, value);
    } else if (option == "--first") {
      options.model.firstAttempts = static_cast<int>(NonNegativeNumber(option, value));
    } else if (option == "--first-modem") {
      firstModem = Lookup(kModemAnswers, option, value);
    } else if (option == "--first-dial") {
      firstDial = Lookup(kDialAnswers, option, value);
    } else if (option == "--first-accept") {
      firstAcceptance = Lookup(kAcceptances, option, value);
    } else {
      throw std::invalid_argument("unknown option " + option);
    }
  }
  if (options.link.empty()) {
    throw std::invalid_argument("--link PATH is required");
  }
  options.model.first = {firstModem.value_or(options.model.later.modem),
                         firstDial.value_or(options.model.later.dial),
                         firstAcceptance.value_or(options.model.later.acceptance)};
  return options;
}

}  // namespace quorvex::sim
