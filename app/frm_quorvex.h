#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/notices.h"
#include "app/request.h"
#include "app/run_error.h"
#include "config/settings.h"
#include "modem/clock.h"
#include "modem/serial_line.h"
#include "trace/trace_log.h"

namespace quorvex {

// What the run needs from the machine it runs on.
struct Platform {
  std::filesystem::path exeDir;
  std::vector<std::string> arguments;  // after the program name
  NoticeSink& notices;
  Clock& clock;
  SerialLine& commSMS;
};

// The main object of a run: it owns the settings, the log and the modem line, and its
// operations live in the subsystem folders.
class frmQuorvex {
 public:
  explicit frmQuorvex(Platform platform);

  // Performs the whole run and returns the process exit status.
  int Form_Load();

  // Delivery: true when the messaging service accepted the message.
  bool Quorvex(std::string& tmpMessage, const std::string& tmpSendToNumber);
  void WriteTrace(std::string_view tmpMsg);
  static const std::string& FixMessage(std::string& tmpMessage);
  bool SMSRetry(int tmpTCount, int16_t tmpMCount);
  void Pause(float tmpTime);
  std::string SMS(std::string_view tmpOutput, int16_t tmpTime);
  // The modem line at the start and end of each attempt.
  void OpenLine();
  void CloseLine();

  Settings settings;

 private:
  enum class AttemptOutcome { kAccepted, kModemFault, kCallFault, kNoDialTone, kHandOverFault };

  void OpenTrace();
  bool LoadConfiguration();
  std::optional<ParsedRequest> ReadRequest();
  int EndRun(int exitStatus);
  int HandleRunError(const RunError& error);
  void StopWithNotice(std::string_view logLine, std::string_view notice);

  AttemptOutcome RunAttempt(int attempt, std::string& tmpMessage,
                            const std::string& tmpSendToNumber);
  bool RetryAfterFault(AttemptOutcome fault, int& attempt);
  void CloseCommunications();

  Platform platform_;
  TraceLog log_;
};

// "Error #N (description) occurred during initialization..."
std::string RunErrorText(const RunError& error);

}  // namespace quorvex
