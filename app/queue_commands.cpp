#include "app/queue_commands.h"

#include <fcntl.h>
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
#include "app/frm_quorvex.h"
#include "app/monitor.h"
#include "app/request.h"
#include "base/io.h"
#include "base/stop_signals.h"
#include "base/text.h"
#include "base/trusted_open.h"
#include "config/config_file.h"
#include "modem/posix_serial_line.h"
#include "queue/spool.h"
#include "queue/status_record.h"

namespace quorvex {
namespace {

// A failure ends the command with a notice, a history line and its exit status.
int EndWithRunError(const QueueTools& tools, const RunError& error) {
  const RunErrorEnd end = TellRunError(error, error.description(), tools.notices);
  tools.history.Record(StageHistoryLine("queue", end.outcome, end.status),
                       HistoryPriority(end.status));
  return end.status;
}

template <typename Command>
int Guarded(const QueueTools& tools, Command command) {
  return WithOneHandler(command,
                        [&](const RunError& error) { return EndWithRunError(tools, error); });
}

// What a delivery's child tells the drain through its pipe, beyond its exit status.
constexpr char kToldRefusal = 'r';
constexpr char kToldAnotherRun = 'b';

// The record keeps the latest acceptance across later looks.
void RecordLook(const Spool& spool, Look look) {
  const Spool::Recording previous = spool.Recorded();
  spool.Record(FormatStatusRecord(
      WithLook(ParseStatusRecord(previous.error == 0 ? previous.text : ""), std::move(look))));
}

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

// A delivery in a child process that runs exactly what `Quorvex REQUEST` runs, with its own
// log run, notices, exit status and history line. The child is not a new program: the
// request stays in memory, never on a command line or in the environment, and the drain's
// signal handling stays in place, so that a stop sent at once is held, not lost. It tells
// the drain through a pipe whether the service refused the message.
class ChildDelivery final : public DeliveryRunner {
 public:
  ChildDelivery(const QueueTools& tools, const Spool& spool) : tools_(tools), spool_(spool) {}

  Delivered Deliver(const std::string& request, const std::string& id,
                    const std::string& name) override {
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
    // Only a delivery that ran its course looked at the modem: not one turned away by another
    // run, stopped with the drain or killed.
    if (delivered.seen != Seen::kAnotherRun && delivered.stopSignal == 0 &&
        delivered.status < 128) {
      RecordLook(spool_, {LookKind::kDelivery, tools_.clock.WallTime(), delivered.status,
                          delivered.seen == Seen::kRefusal, ""});
    }
    return delivered;
  }

 private:
  // It dies with the drain, as systemd kills a unit whole, whatever the drain's caller
  // ignored: SIGTERM is made a stop of its own first.
  int DeliverInChild(pid_t drain, const std::string& request, const std::string& id,
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
          const char told = form.ServiceRefused() ? kToldRefusal
                            : turnedAway          ? kToldAnotherRun
                                                  : '-';
          WriteAll(report, std::string_view(&told, 1));
          return status;
        },
        [](const RunError&) { return ExitStatus(Ending::kRunError); });
  }

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

  const QueueTools& tools_;
  const Spool& spool_;
};

// The drain applies a delivery's rules: a configuration that could not deliver expires
// nothing either, and says what is wrong as a delivery would.
std::optional<Settings> DrainSettings(const QueueTools& tools) {
  std::string told;
  try {
    const LoadedSettings loaded = LoadSettings(tools.exeDir);
    const std::optional<MissingSetting> missing = TellMissing(loaded.missing);
    if (!missing) {
      return loaded.settings;
    }
    told = missing->notice;
    tools.notices.Notify(told, NoticeKind::kCritical);
  } catch (const RunError& error) {
    if (error.failure() != Failure::kSetting) {
      throw;
    }
    told = RunErrorText(error);
    tools.notices.Notify(told, NoticeKind::kPlain);
  }
  const int status = ExitStatus(Ending::kConfiguration);
  tools.history.Record(StageHistoryLine("queue: configuration", told, status),
                       HistoryPriority(status));
  return std::nullopt;
}

// A monitoring user outside dialout learns of the modem from the record alone: with no alert
// for an hour, the drain looks at the idle modem as --check does, so that a dead modem shows
// before an alert needs it. Returns the drain's exit status: 0, or the stop's.
int LookAtTheIdleModem(const QueueTools& tools, const Spool& spool) {
  const Spool::Recording recorded = spool.Recorded();
  const std::optional<Look> latest =
      ParseStatusRecord(recorded.error == 0 ? recorded.text : "").latest;
  const std::time_t now = tools.clock.WallTime();
  if (latest && now - latest->at < kLookInterval && latest->at <= now) {
    return ExitStatus(Ending::kAccepted);
  }
  std::optional<ModemState> modem;
  try {
    modem = ProbeModem(tools);
  } catch (const RunError& stop) {
    if (stop.failure() != Failure::kStopped) {
      throw;
    }
    return ExitStatusForSignal(stop.number());
  }
  if (modem &&
      (modem->kind == ModemState::Kind::kAnswers || modem->kind == ModemState::Kind::kFailing)) {
    const bool answers = modem->kind == ModemState::Kind::kAnswers;
    RecordLook(spool, {LookKind::kCheck, tools.clock.WallTime(),
                       ExitStatus(answers ? Ending::kAccepted : Ending::kNotDelivered), false,
                       modem->text});
  }
  return ExitStatus(Ending::kAccepted);
}

// "ID  AGE  NUMBER  MESSAGE  NOTE": every name and text as a terminal can show it safely.
std::string ListingLine(const Spool& spool, Folder folder, const std::string& name, std::time_t now,
                        const std::string& note) {
  const ItemRead item = spool.Read(folder, name);
  const std::string id = spool.IdOf(folder, name).value_or(name);
  const std::string end = note.empty() ? "\n" : "  (" + note + ")\n";
  if (!item.problem.empty()) {
    return PrintableName(id) + "  -  (" + item.problem + ")" + end;
  }
  const ParsedRequest request = ParseRequest(item.request);
  const std::string what = request.status == RequestStatus::kValid
                               ? QuotedValue(request.number) + "  " +
                                     QuotedValue(SevenBitText(request.message.substr(0, 200)))
                               : "(not a valid request)";
  return PrintableName(id) + "  " + Age(now - item.arrived) + "  " + what + end;
}

std::string RefusalNote(const std::string& name) {
  const std::optional<ItemName> item = ParseItemName(name);
  const int refusals = item ? item->refusals : 0;
  return refusals == 0
             ? ""
             : "refused " + std::to_string(refusals) + (refusals == 1 ? " time" : " times");
}

std::string FailedNote(const std::string& name) {
  const auto failed = ParseFailedName(name);
  return "failed: " + std::string(failed ? failed->second.text : "set aside");
}

int UnknownItem(const std::string& id, std::string_view where, const QueueTools& tools) {
  tools.notices.Notify(
      "No item " + PrintableName(id) + " " + std::string(where) + " - see Quorvex --list-queue",
      NoticeKind::kPlain);
  return ExitStatus(Ending::kBadRequest);
}

// The entry of `folder` that holds item `id` exactly, if any.
std::optional<std::string> EntryOf(const Spool& spool, Folder folder, const std::string& id) {
  for (const std::string& name : spool.Names(folder)) {
    if (spool.IdOf(folder, name) == id) {
      return name;
    }
  }
  return std::nullopt;
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
    const std::string name = Spool::Open(tools.exeDir, SpoolOpening::kCreate)->Add(text);
    const std::string queued = "queued " + name + " for " + QuotedValue(request.number);
    tools.history.Record("queue: " + queued, LOG_INFO);
    // The item is safe on disk: a lost report must not make the caller queue it twice.
    tools.notices.Report(queued);
    return ExitStatus(Ending::kAccepted);
  });
}

int DrainQueue(const QueueTools& tools) {
  return Guarded(tools, [&] {
    const std::optional<Spool> spool = Spool::Open(tools.exeDir, SpoolOpening::kExisting);
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
    const std::optional<Settings> settings = DrainSettings(tools);
    if (!settings) {
      return ExitStatus(Ending::kConfiguration);
    }
    ChildDelivery runner(tools, *spool);
    const int status = DrainSpool(
        {*spool, runner, tools.history, tools.notices, tools.clock, settings->MaxQueueHours});
    return status == ExitStatus(Ending::kAccepted) ? LookAtTheIdleModem(tools, *spool) : status;
  });
}

int ListQueue(const QueueTools& tools) {
  return Guarded(tools, [&] {
    const std::optional<Spool> spool = Spool::Open(tools.exeDir, SpoolOpening::kExisting);
    std::string listing;
    size_t queued = 0;
    size_t failed = 0;
    if (spool) {
      const std::time_t now = tools.clock.WallTime();
      for (const std::string& name : spool->Names(Folder::kCur)) {
        listing += ListingLine(*spool, Folder::kCur, name, now, "being delivered");
        ++queued;
      }
      std::vector<std::string> waiting = spool->Names(Folder::kWaiting);
      SortInDeliveryOrder(waiting);
      for (const std::string& name : waiting) {
        listing += ListingLine(*spool, Folder::kWaiting, name, now, RefusalNote(name));
        ++queued;
      }
      for (const std::string& name : spool->Names(Folder::kNew)) {
        listing += ListingLine(*spool, Folder::kNew, name, now, "not yet taken in by a drain");
        ++queued;
      }
      for (const std::string& name : spool->Names(Folder::kFailed)) {
        listing += ListingLine(*spool, Folder::kFailed, name, now, FailedNote(name));
        ++failed;
      }
    }
    listing += std::to_string(queued) + " queued, " + std::to_string(failed) + " failed\n";
    if (const int error = WriteAll(STDOUT_FILENO, listing)) {
      throw OsError(error, "Cannot write to standard output");
    }
    return ExitStatus(Ending::kAccepted);
  });
}

int RequeueItems(const std::string& which, const QueueTools& tools) {
  return Guarded(tools, [&] {
    const std::optional<Spool> spool = Spool::Open(tools.exeDir, SpoolOpening::kExisting);
    std::vector<std::pair<std::string, std::string>> chosen;  // the entry, the item's ID
    for (const std::string& name :
         spool ? spool->Names(Folder::kFailed) : std::vector<std::string>{}) {
      const auto failed = ParseFailedName(name);
      if (failed && (which == "failed" || failed->first == which)) {
        chosen.emplace_back(name, failed->first);
      }
    }
    if (chosen.empty()) {
      return which == "failed" ? ExitStatus(Ending::kAccepted)
                               : UnknownItem(which, "in failed", tools);
    }
    // Each into waiting/ as a fresh arrival (else an old item expires again), refusals
    // cleared; one that cannot be taken stops none of the others.
    std::optional<RunError> first;
    for (const auto& [name, id] : chosen) {
      const ItemRead read = spool->Read(Folder::kFailed, name);
      const std::string fresh = ItemIdOf({tools.clock.WallTime(), 0}, read.inode);
      const int error =
          read.problem.empty() ? spool->Adopt(read.request, fresh, Folder::kFailed, name) : EINVAL;
      if (error != 0) {
        const RunError failed =
            OsError(error, "Cannot requeue " + spool->PathOf(Folder::kFailed, name) +
                               (read.problem.empty() ? "" : " (" + read.problem + ")"));
        tools.notices.Notify(failed.description(), NoticeKind::kPlain);
        first = first.value_or(failed);
        continue;
      }
      tools.history.Record(Concat({"queue: item ", id, " requeued from failed as ", fresh, " by ",
                                   UserName(::getuid())}),
                           LOG_NOTICE);
      tools.notices.Report(Concat({"requeued ", id, " as ", fresh}));
    }
    if (first) {
      throw *first;
    }
    return ExitStatus(Ending::kAccepted);
  });
}

int RemoveItem(const std::string& id, const QueueTools& tools) {
  return Guarded(tools, [&] {
    const std::optional<Spool> spool = Spool::Open(tools.exeDir, SpoolOpening::kExisting);
    if (spool && EntryOf(*spool, Folder::kCur, id)) {
      tools.notices.Notify("Item " + id + " is being delivered - try again later",
                           NoticeKind::kPlain);
      return ExitStatus(Ending::kNotDelivered);
    }
    for (const Folder folder : {Folder::kWaiting, Folder::kNew, Folder::kFailed}) {
      if (const std::optional<std::string> name =
              spool ? EntryOf(*spool, folder, id) : std::nullopt) {
        const std::string where = folder == Folder::kWaiting ? "waiting"
                                  : folder == Folder::kNew   ? "new"
                                                             : "failed";
        if (const int error = spool->Remove(*name, folder)) {
          throw OsError(error, "Cannot remove " + spool->PathOf(folder, *name));
        }
        tools.history.Record(
            Concat({"queue: item ", id, " removed from ", where, " by ", UserName(::getuid())}),
            LOG_NOTICE);
        tools.notices.Report("removed " + id);
        return ExitStatus(Ending::kAccepted);
      }
    }
    return UnknownItem(id, "in the queue", tools);
  });
}

}  // namespace quorvex
