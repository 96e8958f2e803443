#include "app/frm_quorvex.h"
#include "app/modem_commands.h"
#include "base/exit_status.h"
#include "base/io.h"
#include "base/text.h"

namespace quorvex {
namespace {

// What the modem said instead of OK: its first line, quoted as error texts quote values.
std::string AnswerToInitialisation(std::string_view answer) {
  const size_t start = answer.find_first_not_of("\r\n");
  if (start == std::string_view::npos) {
    return "did not answer the initialisation";
  }
  const std::string_view line = answer.substr(start, answer.find_first_of("\r\n", start) - start);
  // A modem that only echoes (or a line looped back) says nothing of its own.
  if (answer.find_first_not_of("\r\n", start + line.size()) == std::string_view::npos &&
      kInitialise.starts_with(line) && kInitialise.size() == line.size() + 1) {
    return "echoed the initialisation and gave no answer";
  }
  return "answered '" + QuotedValue(line) + "' to the initialisation";
}

}  // namespace

// One attempt's opening and initialisation, then the reset; nothing is dialled and the
// log is only locked, so the last delivery's log survives an hourly check.
int frmQuorvex::RunCheck() {
  state_.stage = Stage::kCheck;
  OpenTrace(TraceLog::Use::kLockOnly);
  if (!LoadConfiguration()) {
    return EndRun(ExitStatus(Ending::kConfiguration), state_.stopReason);
  }
  state_.attempts = 1;
  OpenLine();
  const std::string answer = SMS(kInitialise, kInitialiseWait);
  SMS(kReset, kResetWait);
  CloseLine();
  const std::string modem = "modem on COM" + DigitsOrEmptyForZero(settings.ComPort);
  const std::string where = modem + " (" + platform_.commSMS.Device() + ")";
  if (Contains(answer, "OK")) {
    if (const int error = platform_.notices.Report(where + " answers")) {
      throw OsError(error, "Cannot write to standard output");
    }
    return EndRun(ExitStatus(Ending::kAccepted), modem + " answers");
  }
  const std::string outcome = AnswerToInitialisation(answer);
  platform_.notices.Notify(where + " " + outcome, NoticeKind::kPlain);
  return EndRun(ExitStatus(Ending::kNotDelivered), modem + " " + outcome);
}

int frmQuorvex::EndCheckOfAHeldPort() {
  const std::string device = platform_.commSMS.Device();
  const long holder = FlockHolder(device);
  const std::string held = "COM" + DigitsOrEmptyForZero(settings.ComPort) + " (" + device +
                           ") is held by another program" +
                           (holder > 0 ? " (PID " + std::to_string(holder) + ")" : "");
  platform_.notices.Notify(held, NoticeKind::kPlain);
  return EndRun(ExitStatus(Ending::kPortInUse), held);
}

}  // namespace quorvex
