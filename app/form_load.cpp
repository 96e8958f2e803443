#include "app/command_line.h"
#include "app/frm_quorvex.h"
#include "app/version.h"
#include "base/exit_status.h"
#include "base/stop_signals.h"
#include "base/text.h"

namespace quorvex {

frmQuorvex::frmQuorvex(Platform platform) : platform_(std::move(platform)) {}

std::string_view StageName(Stage stage) {
  switch (stage) {
    case Stage::kConfiguration:
      return "configuration";
    case Stage::kRequest:
      return "request";
    case Stage::kCheck:
      return "check";
  }
  return "";  // no other value; without a default, -Wswitch names a new one
}

// Every way out of a run passes this one handler, so the line is always closed.
int frmQuorvex::Form_Load() {
  return WithOneHandler(
      [this] { return platform_.command == Command::kCheck ? RunCheck() : Run(); },
      [this](const RunError& error) { return HandleRunError(error); });
}

int frmQuorvex::Run() {
  OpenTrace(TraceLog::Use::kWrite);
  WriteTrace("Quorvex v" + std::string(kVersionNumber));
  if (!LoadConfiguration()) {
    return EndRun(ExitStatus(Ending::kConfiguration), state_.stopReason);
  }
  state_.stage = Stage::kRequest;
  std::optional<ParsedRequest> request = ReadRequest();
  if (!request) {
    return EndRun(ExitStatus(Ending::kBadRequest), state_.stopReason);
  }
  state_.recipient = request->number;
  WriteTrace(Concat({"Sending '", request->message, "' to '", request->number, "'"}));
  if (Quorvex(request->message, request->number)) {
    return EndRun(ExitStatus(Ending::kAccepted), "accepted");
  }
  return EndRun(ExitStatus(Ending::kNotDelivered), "not delivered");
}

std::optional<ParsedRequest> frmQuorvex::ReadRequest() {
  ParsedRequest request = ParseRequest(JoinArguments(platform_.arguments));
  if (request.status == RequestStatus::kValid) {
    return request;
  }
  if (request.status == RequestStatus::kEmpty) {
    WriteTrace("WARNING: No SMS message to send specified on command line");
  }
  state_.stopReason = RequestProblem(request.status);
  TellRequestProblem(request.status, platform_.notices);
  return std::nullopt;
}

int frmQuorvex::HandleRunError(const RunError& error) {
  state_.runError = error;
  if (error.failure() == Failure::kStopped) {
    return EndStopped(error);
  }
  if (error.failure() == Failure::kPortInUse && state_.stage == Stage::kCheck) {
    return EndCheckOfAHeldPort();
  }
  if (error.failure() == Failure::kLogInUse || error.failure() == Failure::kLogInCheck) {
    platform_.notices.Notify(error.description(), NoticeKind::kPlain);
    return EndRun(ExitStatus(Ending::kAnotherRun), "");
  }
  const std::string text = RunErrorText(error);
  WriteTrace(text);
  const RunErrorEnd end = TellRunError(error, text, platform_.notices);
  return EndRun(end.status, end.outcome);
}

// Once the service has accepted, a caller must not send the message again.
int frmQuorvex::EndStopped(const RunError& stop) {
  WriteTrace("ERROR: " + stop.description());
  const std::string outcome = "stopped by signal " + SignalName(stop.number());
  if (state_.delivery.accepted) {
    return EndRun(ExitStatus(Ending::kAccepted), "accepted, then " + outcome);
  }
  return EndRun(ExitStatusForSignal(stop.number()), outcome);
}

// Nothing is sent on the line first, even during a call: dropping DTR hangs up. A run that
// opened its log leaves its outcome in the history; a second run turned away leaves none.
int frmQuorvex::EndRun(int exitStatus, std::string_view outcome) {
  CloseLine();
  const bool logged = log_.IsOpen();
  log_.Close();
  if (logged) {
    platform_.history.Record(
        state_.recipient
            ? HistoryLine(*state_.recipient, outcome, state_.delivery.attempts, exitStatus)
            : StageHistoryLine(StageName(state_.stage), outcome, exitStatus),
        HistoryPriority(exitStatus));
  }
  return exitStatus;
}

}  // namespace quorvex
