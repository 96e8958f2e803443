#include <cstring>

#include "app/frm_quorvex.h"

namespace quorvex {

void frmQuorvex::OpenTrace(TraceLog::Use use) {
  log_.Open(platform_.exeDir, "Quorvex.log", use);
}

// The log never decides the delivery: a failing write is told once, and the run goes on.
void frmQuorvex::WriteTrace(std::string_view tmpMsg) {
  if (!log_.IsOpen()) {
    return;
  }
  const int error = log_.Append(FormatTraceLine(platform_.clock.LocalTime(), tmpMsg));
  if (error != 0) {
    platform_.notices.Notify("Cannot write to trace log " + log_.path() + ": " +
                                 std::strerror(error) + " - later lines are dropped",
                             NoticeKind::kWarning);
  }
}

}  // namespace quorvex
