#include <cstring>

#include "app/frm_quorvex.h"

namespace quorvex {

namespace {

// A check holds the log for about 3 s; one that holds it longer is turned away like a run.
constexpr auto kLongestCheck = std::chrono::seconds(10);
constexpr float kCheckPoll = 0.1F;

}  // namespace

// A run that finds only a check in progress waits for it rather than lose its alert.
void frmQuorvex::OpenTrace(TraceLog::Use use) {
  const MonotonicTime giveUp = platform_.clock.Now() + kLongestCheck;
  for (;;) {
    try {
      log_.Open(platform_.exeDir, "Quorvex.log", use);
      return;
    } catch (const RunError& error) {
      if (error.failure() != Failure::kLogInCheck || platform_.clock.Now() >= giveUp) {
        throw;
      }
    }
    Pause(kCheckPoll);
  }
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
