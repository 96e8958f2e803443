#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.h"
#include "app/notices.h"
#include "app/request.h"
#include "base/clock.h"
#include "base/run_error.h"
#include "config/config_file.h"
#include "config/settings.h"
#include "delivery/message_delivery.h"
#include "modem/serial_line.h"
#include "trace/run_history.h"
#include "trace/trace_log.h"

namespace quorvex {

// Told the moment the service accepts, before the run closes the line: a drain marks its
// item delivered there, so that a kill afterwards sends nothing twice.
class AcceptanceSink {
 public:
  virtual ~AcceptanceSink() = default;
  virtual void Accepted() = 0;
};

// What the run needs from the machine it runs on.
struct Platform {
  std::filesystem::path exeDir;
  std::vector<std::string> arguments;  // after the program name
  NoticeSink& notices;
  Clock& clock;
  SerialLine& commSMS;
  RunHistory& history;
  Command command = Command::kDeliver;  // as main read it: a delivery or a check
  AcceptanceSink* acceptance = nullptr;
};

// The log line and critical notice of a configuration that cannot drive a delivery.
struct MissingSetting {
  std::string_view logLine;
  std::string_view notice;
};
std::optional<MissingSetting> TellMissing(LoadedSettings::Missing missing);

// Where a run that stops before its request is known stopped, as its history line names it.
enum class Stage { kConfiguration, kRequest, kCheck };
std::string_view StageName(Stage stage);

// What a run has come to so far, for its history line.
struct RunState {
  Stage stage = Stage::kConfiguration;   // until the request is known
  std::string stopReason;                // the notice that stopped the run
  std::optional<std::string> recipient;  // once the request is known
  DeliveryProgress delivery;             // once the service accepted, the run reports success
  std::optional<RunError> runError;      // what the run ended with, if it failed
};

// The main object of a run: it owns the settings, the log and the modem line, and drives
// the components below it (config/, trace/, modem/, delivery/), which only return what
// happened; the message delivery runs through it as its host. Its operations: the run and its
// end (form_load.cpp), the delivery (delivery.cpp, into delivery/), the check (check.cpp),
// the line's exchanges and waits (exchange.cpp), the log (write_trace.cpp) and the settings
// (load_configuration.cpp).
class frmQuorvex final : private DeliveryHost {
 public:
  explicit frmQuorvex(Platform platform);

  // Performs the whole run, from opening the log to closing the line, and returns the
  // process exit status; with the sole argument --check, checks the port and the modem
  // instead. Never raises: every failure ends in its one handler.
  int Form_Load();
  // Once the run has ended: true when every attempt reached the service and none was
  // accepted, so that the service refused this message rather than the line failing.
  bool ServiceRefused() const;
  // Once the run has ended: the failure it ended with, if any.
  const std::optional<RunError>& LastRunError() const { return state_.runError; }

  // Delivers tmpMessage to tmpSendToNumber through the messaging service, retrying faults
  // up to settings.MaxAttempts; true when the service accepted it. Logs every step, leaves
  // the line closed, and takes 39 s when the first attempt succeeds. Raises the line's
  // RunErrors and the stop.
  bool Quorvex(std::string& tmpMessage, const std::string& tmpSendToNumber);
  // Logs tmpMsg as one timestamped line; does nothing before the log is open. Never
  // raises: a failed write is told once as a warning notice, and later lines are dropped.
  void WriteTrace(std::string_view tmpMsg) override;
  // Turns every "_" of tmpMessage into "-", in place, and returns tmpMessage.
  static const std::string& FixMessage(std::string& tmpMessage);
  // The retry decision: when attempt tmpTCount may follow (it is at most tmpMCount), waits
  // 3 s and returns true; otherwise returns false at once. Raises the stop.
  bool SMSRetry(int tmpTCount, int16_t tmpMCount);
  // Waits tmpTime seconds on the monotonic clock, no line activity. Raises the stop.
  void Pause(float tmpTime) override;
  // Sends tmpOutput, waits the full tmpTime seconds however early an answer comes, and
  // returns everything received since the last read. Raises RunError and the stop.
  std::string SMS(std::string_view tmpOutput, int16_t tmpTime) override;
  // Opens the line on settings.ComPort: a RunError (kSetting) for a port outside 16 bits
  // or below 1, before any device is touched, or the line's own RunError.
  void OpenLine() override;
  // Closes the line if it is open: DTR dropped, buffers discarded, port released. Never
  // fails.
  void CloseLine() override;

  Settings settings;

 private:
  // A delivery: the log opened and emptied, the banner, the settings, the request, the
  // attempts; returns the exit status. Raises what the handler in Form_Load ends.
  int Run();
  // Checks the port and the modem up to the dial without writing the log; prints the
  // outcome and returns the exit status (0 when the modem answered OK, else 75).
  int RunCheck();
  // Opens and locks Quorvex.log beside the executable: emptied for a delivery, only locked
  // for a check. Waits up to 10 s while only checks hold it. Raises a RunError, kLogInUse when
  // another run holds it, kLogInCheck when a check held it all that time.
  void OpenTrace(TraceLog::Use use);
  // Reads the settings from Quorvex.ini; a missing file, ComPort or SMSPhone is logged and
  // told as critical, and the answer is false. Raises a RunError for an unusable setting.
  bool LoadConfiguration();
  // The request the arguments make; an empty or invalid one is logged (when empty), told
  // and kept as the stop reason, and the answer is nothing.
  std::optional<ParsedRequest> ReadRequest();
  // Where every run ends: the line and the log closed, one history line when the log was
  // opened (a run turned away leaves none); returns `exitStatus`.
  int EndRun(int exitStatus, std::string_view outcome);
  // The one handler: a stop, a log in use or any other failure, logged and told as each
  // must be, and the run ended.
  int HandleRunError(const RunError& error);
  // A check holds the installation: a port held meanwhile is held by another program, which
  // is named where the system tells. Ends with 75.
  int EndCheckOfAHeldPort();
  // A stop by signal N ends with 128 + N, or with 0 once the service has accepted.
  int EndStopped(const RunError& stop);

  // What the line still holds, for the delivery after a stop.
  std::string ReadWhatCame() override;
  // The acceptance, passed on to whoever the platform names.
  void Accepted() override;

  Platform platform_;
  TraceLog log_;
  RunState state_;
};

}  // namespace quorvex
