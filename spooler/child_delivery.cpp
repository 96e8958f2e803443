#include "spooler/child_delivery.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "app/frm_quorvex.h"
#include "base/exit_status.h"
#include "base/io.h"
#include "base/stop_signals.h"
#include "base/text.h"
#include "modem/posix_serial_line.h"
#include "queue/status_record.h"

namespace quorvex {
namespace {

// What a delivery's child tells the drain through its pipe, beyond its exit status.
constexpr char kToldRefusal = 'r';
constexpr char kToldAnotherRun = 'b';

// The item leaves cur/ the moment the service accepts it, and that is made durable: the
// drain then counts it delivered however the delivery ends.
class MarkDelivered final : public AcceptanceSink {
 public:
  MarkDelivered(const Spool& spool, std::string name) : spool_(spool), name_(std::move(name)) {}
  void Accepted() override {
    if (spool_.Remove(name_, Folder::kCur) == 0) {
      spool_.Sync(Folder::kCur);
    }
  }

 private:
  const Spool& spool_;
  std::string name_;
};

// Waits with the stop signals let in; a stop is passed on, and the child awaited. (A
// kernel without pidfd_open, before 5.3, lets them in only once the delivery ended.)
Delivered AwaitChild(pid_t child) {
  const Fd process(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
  int stopSignal = 0;
  try {
    // A poll that fails for another reason than a signal would spin: the wait below takes
    // over, the stop signals then held until the delivery ends.
    for (pollfd done{process.get(), POLLIN, 0}; process.valid() && done.revents == 0;) {
      if (PollWithStopSignals(&done, 1, std::chrono::hours(1)) < 0 && errno != EINTR) {
        break;
      }
    }
  } catch (const RunError& stop) {
    stopSignal = stop.number();
    ::kill(child, stopSignal);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return {WIFEXITED(status) ? WEXITSTATUS(status) : ExitStatusForSignal(WTERMSIG(status)),
          stopSignal};
}

}  // namespace

std::optional<Look> LookOf(const Delivered& delivered, std::time_t at) {
  // Only a delivery that ran its course looked at the modem: not one turned away by another
  // run, stopped with the drain or killed.
  if (delivered.seen == Seen::kAnotherRun || delivered.stopSignal != 0 || delivered.status >= 128) {
    return std::nullopt;
  }
  return Look{LookKind::kDelivery, at, delivered.status, delivered.seen == Seen::kRefusal, ""};
}

void RecordForTheCheck(const QueueTools& tools, const Spool& spool, Look look) {
  if (const int error = RecordLook(spool, std::move(look))) {
    tools.history.Record(
        Concat({"queue: cannot record the modem's state in ", spool.path(), "/status (",
                std::strerror(error), "): the check reads an older record"}),
        LOG_WARNING);
  }
}

Delivered ChildDelivery::Deliver(const std::string& request, const std::string& id,
                                 const std::string& name) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) {
    throw LastOsError([] { return std::string("Cannot start a delivery"); });
  }
  const Fd reading(ends[0]);
  Fd writing(ends[1]);
  const pid_t drain = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) {
    throw LastOsError([] { return std::string("Cannot start a delivery"); });
  }
  if (child == 0) {
    ::_exit(DeliverInChild(drain, request, id, name, writing.get()));
  }
  writing.reset();
  Delivered delivered = AwaitChild(child);
  char told = 0;
  delivered.seen = ::read(reading.get(), &told, 1) != 1 ? Seen::kNothingMore
                   : told == kToldRefusal               ? Seen::kRefusal
                   : told == kToldAnotherRun            ? Seen::kAnotherRun
                                                        : Seen::kNothingMore;
  if (const std::optional<Look> look = LookOf(delivered, tools_.clock.WallTime())) {
    RecordForTheCheck(tools_, spool_, *look);
  }
  return delivered;
}

int ChildDelivery::DeliverInChild(pid_t drain, const std::string& request, const std::string& id,
                                  const std::string& name, int report) {
  CatchStopSignal(SIGTERM);
  ::prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (::getppid() != drain) {
    return ExitStatus(Ending::kRunError);  // the drain died before it could tell us
  }
  return WithOneHandler(
      [&] {
        PosixSerialLine line(tools_.exeDir, tools_.clock);
        PrefixedHistory history(tools_.history, "queue: item " + id + ": ");
        MarkDelivered mark(spool_, name);
        frmQuorvex form({tools_.exeDir,
                         {request},
                         tools_.notices,
                         tools_.clock,
                         line,
                         history,
                         Command::kDeliver,
                         &mark});
        const int status = form.Form_Load();
        const std::optional<RunError>& error = form.LastRunError();
        const bool turnedAway = error && (error->failure() == Failure::kLogInUse ||
                                          error->failure() == Failure::kLogInCheck);
        const char told = form.ServiceRefused() ? kToldRefusal : turnedAway ? kToldAnotherRun : '-';
        WriteAll(report, std::string_view(&told, 1));
        return status;
      },
      [](const RunError&) { return ExitStatus(Ending::kRunError); });
}

}  // namespace quorvex
