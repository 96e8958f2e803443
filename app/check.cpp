#include "app/exit_status.h"
#include "app/frm_quorvex.h"
#include "app/modem_commands.h"
#include "base/text.h"

namespace quorvex {

// One attempt's opening and initialisation, then the reset; nothing is dialled and the
// log is only locked, so the last delivery's log survives an hourly check.
int frmQuorvex::RunCheck() {
  state_.stage = "check";
  OpenTrace(TraceLog::Use::kLockOnly);
  if (!LoadConfiguration()) {
    return EndRun(ExitStatus(Ending::kConfiguration), state_.stopReason);
  }
  state_.attempts = 1;
  OpenLine();
  const bool answered = Contains(SMS(kInitialise, kInitialiseWait), "OK");
  SMS(kReset, kResetWait);
  CloseLine();
  const std::string modem = "modem on COM" + DigitsOrEmptyForZero(settings.ComPort);
  const std::string where = modem + " (" + platform_.commSMS.Device() + ")";
  if (answered) {
    platform_.notices.Report(where + " answers");
    return EndRun(ExitStatus(Ending::kAccepted), modem + " answers");
  }
  platform_.notices.Notify(where + " did not answer the initialisation", NoticeKind::kPlain);
  return EndRun(ExitStatus(Ending::kNotDelivered), modem + " did not answer the initialisation");
}

}  // namespace quorvex
