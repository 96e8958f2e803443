#include "app/frm_quorvex.h"
#include "app/renderings.h"

namespace quorvex {
namespace {

constexpr int kVersionMajor = 1;
constexpr int kVersionMinor = 0;
constexpr int kVersionRevision = 0;

constexpr std::string_view kExample =
    "ie. Quorvex 447775123456,This is a test message to 07775 123456";

std::string Banner() {
  return "Quorvex v" + HashZero(kVersionMajor) + "." + HashZero(kVersionMinor) + "." +
         HashZero(kVersionRevision);
}

}  // namespace

std::string RunErrorText(const RunError& error) {
  return "Error #" + Hash(error.number()) + " (" + error.description() +
         ") occurred during initialization...";
}

frmQuorvex::frmQuorvex(Platform platform) : platform_(std::move(platform)) {}

int frmQuorvex::Form_Load() {
  try {
    OpenTrace();
    WriteTrace(Banner());
    if (!LoadConfiguration()) {
      return EndRun(kExitConfig);
    }
    std::optional<ParsedRequest> request = ReadRequest();
    if (!request) {
      return EndRun(kExitBadRequest);
    }
    WriteTrace("Sending '" + request->message + "' to '" + request->number + "'");
    const bool accepted = Quorvex(request->message, request->number);
    return EndRun(accepted ? kExitAccepted : kExitNotDelivered);
  } catch (const RunError& error) {
    return HandleRunError(error);
  }
}

std::optional<ParsedRequest> frmQuorvex::ReadRequest() {
  ParsedRequest request = ParseRequest(JoinArguments(platform_.arguments));
  if (request.status == RequestStatus::kEmpty) {
    WriteTrace("WARNING: No SMS message to send specified on command line");
    platform_.notices.Notify(
        "Please pass International format mobile number and message to send via SMS on "
        "command line\n\n" +
            std::string(kExample),
        NoticeKind::kWarning, "Quorvex");
    return std::nullopt;
  }
  if (request.status == RequestStatus::kInvalid) {
    platform_.notices.Notify(
        "Command line is invalid - please use the form 'Quorvex <Intl. format mobile "
        "no.>,<message to send>'\n\n" +
            std::string(kExample),
        NoticeKind::kPlain);
    return std::nullopt;
  }
  return request;
}

int frmQuorvex::HandleRunError(const RunError& error) {
  const std::string text = RunErrorText(error);
  try {
    WriteTrace(text);
  } catch (const RunError&) {
    // The log itself has failed; the notice below still reports the first error.
  }
  platform_.notices.Notify(text, NoticeKind::kPlain);
  return EndRun(error.exitStatus());
}

// Nothing is sent on the line first, even during a call: dropping DTR hangs up.
int frmQuorvex::EndRun(int exitStatus) {
  CloseLine();
  log_.Close();
  return exitStatus;
}

}  // namespace quorvex
