#include "app/frm_quorvex.h"
#include "base/exit_status.h"
#include "base/io.h"
#include "base/text.h"

namespace quorvex {

// One attempt's opening and initialisation, then the reset; nothing is dialled and the
// log is only locked, so the last delivery's log survives an hourly check.
int frmQuorvex::RunCheck() {
  state_.stage = Stage::kCheck;
  OpenTrace(TraceLog::Use::kLockOnly);
  if (!LoadConfiguration()) {
    return EndRun(ExitStatus(Ending::kConfiguration), state_.stopReason);
  }
  state_.delivery.attempts = 1;
  OpenLine();
  const CheckAnswer answer = CheckTheModem(*this);
  CloseLine();
  const std::string modem = "modem on COM" + DigitsOrEmptyForZero(settings.ComPort);
  const std::string where = modem + " (" + platform_.commSMS.Device() + ")";
  if (answer.answers) {
    if (const int error = platform_.notices.Report(where + " answers")) {
      throw OsError(error, "Cannot write to standard output");
    }
    return EndRun(ExitStatus(Ending::kAccepted), modem + " answers");
  }
  platform_.notices.Notify(where + " " + answer.outcome, NoticeKind::kPlain);
  return EndRun(ExitStatus(Ending::kNotDelivered), modem + " " + answer.outcome);
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
