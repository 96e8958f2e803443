#include "app/queue_commands.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>

#include "app/drain.h"
#include "app/exit_status.h"
#include "app/request.h"
#include "base/stop_signals.h"
#include "base/text.h"
#include "config/config_file.h"
#include "config/reader.h"
#include "queue/spool.h"

namespace quorvex {
namespace {

// A failure ends the command with a notice, a history line and its exit status.
int EndWithRunError(const QueueTools& tools, const RunError& error) {
  const std::string text = RunErrorText(error);
  tools.notices.Notify(text, NoticeKind::kPlain);
  const int status = ExitStatus(EndingOf(error.failure()));
  tools.history.Record(StageHistoryLine("queue", "run error: " + text, status),
                       HistoryPriority(status));
  return status;
}

template <typename Command>
int Guarded(const QueueTools& tools, Command command) {
  return WithOneHandler(command,
                        [&](const RunError& error) { return EndWithRunError(tools, error); });
}

// A delivery in a child process: exactly `Quorvex REQUEST`, with its own log run, notices,
// exit status and history line. It dies with the drain, as systemd kills a unit whole.
class ChildDelivery final : public DeliveryRunner {
 public:
  Delivered Deliver(const std::string& request) override {
    const pid_t drain = ::getpid();
    const pid_t child = ::fork();
    if (child < 0) {
      throw LastOsError([] { return std::string("Cannot start a delivery"); });
    }
    if (child == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGTERM);
      sigset_t none;
      sigemptyset(&none);
      ::sigprocmask(SIG_SETMASK, &none, nullptr);
      if (::getppid() == drain) {
        ::execl("/proc/self/exe", "Quorvex", request.c_str(), static_cast<char*>(nullptr));
      }
      ::_exit(ExitStatus(Ending::kRunError));
    }
    return AwaitChild(child);
  }

 private:
  // Waits with the stop signals let in; a stop is passed on, and the child awaited. (A
  // kernel without pidfd_open, before 5.3, lets them in only once the delivery ended.)
  static Delivered AwaitChild(pid_t child) {
    const Fd process(static_cast<int>(::syscall(SYS_pidfd_open, child, 0)));
    int stopSignal = 0;
    try {
      for (pollfd done{process.get(), POLLIN, 0}; process.valid() && done.revents == 0;) {
        PollWithStopSignals(&done, 1, std::chrono::hours(1));
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
};

// The setting that expires items; a configuration that cannot be read leaves the default,
// and the delivery then tells what is wrong with it.
int MaxQueueHours(const std::filesystem::path& exeDir) {
  try {
    const std::optional<std::string> bytes = ReadRegularFile(exeDir, "Quorvex.ini");
    return bytes ? ReadConfiguration(*bytes).MaxQueueHours : Settings().MaxQueueHours;
  } catch (const RunError&) {
    return Settings().MaxQueueHours;
  }
}

std::string Age(long long seconds) {
  constexpr std::pair<long long, char> kUnits[] = {{86400, 'd'}, {3600, 'h'}, {60, 'm'}};
  for (const auto& [length, unit] : kUnits) {
    if (seconds >= length) {
      return std::to_string(seconds / length) + unit;
    }
  }
  return std::to_string(std::max(0LL, seconds)) + "s";
}

std::string ListingLine(const Spool& spool, const std::string& name, std::time_t now) {
  const ItemRead item = spool.Read(Folder::kNew, name);
  if (!item.problem.empty()) {
    return name + "  -  (" + item.problem + ")\n";
  }
  const ParsedRequest request = ParseRequest(item.request);
  const std::string what = request.status == RequestStatus::kValid
                               ? QuotedValue(request.number) + "  " + QuotedValue(request.message)
                               : "(not a valid request)";
  return name + "  " + Age(now - item.queuedAt) + "  " + what + "\n";
}

}  // namespace

int QueueRequest(const std::vector<std::string>& arguments, const QueueTools& tools) {
  const std::string text = JoinArguments(arguments);
  const ParsedRequest request = ParseRequest(text);
  if (request.status != RequestStatus::kValid) {
    TellRequestProblem(request.status, tools.notices);
    return ExitStatus(Ending::kBadRequest);
  }
  if (text.size() > kLargestItem) {
    tools.notices.Notify("The request of " + std::to_string(text.size()) +
                             " bytes is larger than the 64 KiB an item may hold",
                         NoticeKind::kPlain);
    return ExitStatus(Ending::kBadRequest);
  }
  return Guarded(tools, [&] {
    const std::string name = Spool::Open(tools.exeDir, true)->Add(text);
    const std::string queued = "queued " + name + " for " + QuotedValue(request.number);
    tools.history.Record("queue: " + queued, LOG_INFO);
    // The item is safe on disk: a lost report must not make the caller queue it twice.
    tools.notices.Report(queued);
    return ExitStatus(Ending::kAccepted);
  });
}

int DrainQueue(const QueueTools& tools) {
  return Guarded(tools, [&] {
    const std::optional<Spool> spool = Spool::Open(tools.exeDir, false);
    if (!spool) {
      return ExitStatus(Ending::kAccepted);
    }
    const Fd lock = spool->LockForDrain();
    if (!lock.valid()) {
      tools.notices.Notify(
          "Another drain is in progress in " + spool->path() + " - try again later",
          NoticeKind::kPlain);
      return ExitStatus(Ending::kAnotherRun);
    }
    ChildDelivery runner;
    return DrainSpool(
        {*spool, runner, tools.history, tools.clock.WallTime(), MaxQueueHours(tools.exeDir)});
  });
}

int ListQueue(const QueueTools& tools) {
  return Guarded(tools, [&] {
    const std::optional<Spool> spool = Spool::Open(tools.exeDir, false);
    if (!spool) {
      return PrintResult("0 queued, 0 failed\n", tools.notices);
    }
    const std::vector<std::string> waiting = spool->Names(Folder::kNew);
    std::string listing;
    for (const std::string& name : waiting) {
      listing += ListingLine(*spool, name, tools.clock.WallTime());
    }
    return PrintResult(listing + std::to_string(waiting.size()) + " queued, " +
                           std::to_string(spool->Names(Folder::kFailed).size()) + " failed\n",
                       tools.notices);
  });
}

}  // namespace quorvex
