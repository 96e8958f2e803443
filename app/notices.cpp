#include "app/notices.h"

#include <unistd.h>

#include "base/exit_status.h"
#include "base/io.h"
#include "base/run_error.h"

namespace quorvex {
namespace {

std::string FormatNotice(std::string_view text, NoticeKind kind) {
  std::string notice = "Quorvex: ";
  if (kind == NoticeKind::kCritical) {
    notice += "critical: ";
  } else if (kind == NoticeKind::kWarning) {
    notice += "warning: ";
  }
  notice += text;
  notice += '\n';
  return notice;
}

}  // namespace

// A notice that cannot be written is lost: there is nowhere left to tell anyone, and the
// exit status still does.
void StderrNotices::Notify(std::string_view text, NoticeKind kind) {
  WriteAll(STDERR_FILENO, FormatNotice(text, kind));
}

int StderrNotices::Report(std::string_view text) {
  return WriteAll(STDOUT_FILENO, FormatNotice(text, NoticeKind::kPlain));
}

void TellRequestProblem(RequestStatus status, NoticeSink& notices) {
  notices.Notify(std::string(RequestProblem(status)) + "\n\n" + std::string(kRequestExample),
                 status == RequestStatus::kEmpty ? NoticeKind::kWarning : NoticeKind::kPlain);
}

int PrintResult(std::string_view text, NoticeSink& notices) {
  if (const int error = WriteAll(STDOUT_FILENO, text)) {
    notices.Notify(RunErrorText(OsError(error, "Cannot write to standard output")),
                   NoticeKind::kPlain);
    return ExitStatus(Ending::kRunError);
  }
  return ExitStatus(Ending::kAccepted);
}

RunErrorEnd TellRunError(const RunError& error, std::string_view text, NoticeSink& notices) {
  notices.Notify(text, NoticeKind::kPlain);
  return {ExitStatus(EndingOf(error.failure())), "run error: " + std::string(text)};
}

}  // namespace quorvex
