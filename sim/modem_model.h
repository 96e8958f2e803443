#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvex::sim {

enum class ModemAnswer { kOk, kSilent, kError };
enum class DialAnswer { kConnect, kBusy, kNoCarrier, kNoDialTone, kNoDialtone, kSilent };
enum class Acceptance { kOnFinalCr, kEarly, kNever };
// Where the call drops (NO CARRIER, back to command mode): never, with the dial answer
// right after CONNECT, or as the answer to the recipient number.
enum class Drop { kNever, kAfterConnect, kAfterNumber };

// How the modem and the service behind it act during one attempt (one opening of the line).
struct Behaviour {
  ModemAnswer modem = ModemAnswer::kOk;
  DialAnswer dial = DialAnswer::kConnect;
  Acceptance acceptance = Acceptance::kOnFinalCr;
  Drop drop = Drop::kNever;
};

struct ModelConfig {
  Behaviour later{};  // attempts after the first `firstAttempts`
  Behaviour first{};  // attempts 1 to `firstAttempts`
  int firstAttempts = 0;
  double dialDelay = 2.0;  // seconds from ATDT to the dial answer
};

// A Hayes modem in command mode and, once connected, the messaging service: the first line
// is the recipient number, the next the message. Like a real modem it echoes what it gets
// in command mode while echo is on (at power-up and after ATZ; E0 takes effect after its own
// line), ignores lines that do not start with AT, and aborts a dial when anything arrives
// during it. Times are seconds on any monotonic clock.
class ModemModel {
 public:
  explicit ModemModel(ModelConfig config) : config_(config) {}

  void LineOpened();
  void LineClosed();
  // Returns what the modem sends back at once.
  std::string Receive(std::string_view bytes, double now);
  // Returns what falls due by `now` (the dial answer).
  std::string Tick(double now);
  std::optional<double> NextDue() const { return dialDue_; }

  // Notes on what happened, for the transcript: "service-number ...", "hang-up", ...
  std::vector<std::string> TakeNotes();
  int attempt() const { return attempt_; }

 private:
  enum class Mode { kCommand, kDialling, kNumber, kMessage, kDone };

  const Behaviour& Current() const;
  std::string CommandLine(const std::string& line, double now);
  std::string ServiceLine(const std::string& line);
  std::string EarlyAcceptance();
  std::string DialResult();
  std::string DropCall();
  std::string AbortDial();
  void Reset(Mode mode);

  ModelConfig config_;
  Mode mode_ = Mode::kCommand;
  int attempt_ = 0;
  std::string line_;
  std::optional<double> dialDue_;
  bool accepted_ = false;
  bool echo_ = true;
  std::vector<std::string> notes_;
};

// Printable ASCII as it is; quotes, backslashes and other bytes as C escapes.
std::string Escape(std::string_view bytes);

}  // namespace quorvex::sim
