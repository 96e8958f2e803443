#pragma once

#include <string>
#include <string_view>

#include "app/request.h"
#include "base/run_error.h"

namespace quorvex {

enum class NoticeKind { kCritical, kWarning, kPlain };

// Where the run tells the person at the machine why it stopped.
class NoticeSink {
 public:
  virtual ~NoticeSink() = default;
  virtual void Notify(std::string_view text, NoticeKind kind) = 0;
  // A result the caller asked for, such as a check's: "Quorvex: TEXT" on standard output.
  // Returns 0, or the errno of the write that failed: a result nobody got is a failure.
  virtual int Report(std::string_view text) = 0;
};

// Prints each notice on standard error, "Quorvex: critical: TEXT" and so on, and does not
// wait for anyone.
class StderrNotices final : public NoticeSink {
 public:
  void Notify(std::string_view text, NoticeKind kind) override;
  int Report(std::string_view text) override;
};

// Tells why a request cannot be sent: a warning when there is none at all, a plain notice
// otherwise.
void TellRequestProblem(RequestStatus status, NoticeSink& notices);

// How a command ends on a run error, a delivery's or a queue command's alike: `text` told on
// standard error, and the exit status and history outcome that follow.
struct RunErrorEnd {
  int status;
  std::string outcome;
};
RunErrorEnd TellRunError(const RunError& error, std::string_view text, NoticeSink& notices);

// Prints what the caller asked to see on standard output and returns 0; an output that
// cannot take it is a run error (74) told on standard error, as with the GNU tools (a
// closed one was opened on /dev/null and takes everything).
int PrintResult(std::string_view text, NoticeSink& notices);

}  // namespace quorvex
