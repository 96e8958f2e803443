#include "spooler/queue_commands.h"

#include <syslog.h>
#include <unistd.h>

#include "app/frm_quorvex.h"
#include "app/request.h"
#include "base/exit_status.h"
#include "base/io.h"
#include "base/text.h"
#include "base/trusted_open.h"
#include "config/config_file.h"
#include "queue/drain.h"
#include "queue/spool.h"
#include "queue/status_record.h"
#include "spooler/child_delivery.h"
#include "spooler/monitor.h"

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

// What a delivery would send: a valid request with no NUL byte.
class DeliverableRequests final : public RequestCheck {
 public:
  std::optional<std::string> RecipientOf(std::string_view request) const override {
    const ParsedRequest parsed = ParseRequest(request);
    if (request.find('\0') != std::string_view::npos || parsed.status != RequestStatus::kValid) {
      return std::nullopt;
    }
    return parsed.number;
  }
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
  const std::optional<Look> latest = RecordedIn(spool).latest;
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
    RecordForTheCheck(
        tools, spool,
        {LookKind::kCheck, tools.clock.WallTime(),
         ExitStatus(answers ? Ending::kAccepted : Ending::kNotDelivered), false, modem->text});
  }
  return ExitStatus(Ending::kAccepted);
}

// "ID  AGE  NUMBER  MESSAGE  NOTE": every name and text as a terminal can show it safely.
std::string ListingLine(const Spool& spool, Folder folder, const std::string& name, std::time_t now,
                        const std::string& note) {
  const ItemRead item = spool.Read(folder, name);
  const std::string id = spool.IdOf(folder, name).value_or(name);
  const std::string end = note.empty() ? "\n" : "  (" + note + ")\n";
  if (item.error != 0) {
    return PrintableName(id) + "  -  (" + WhyNoItem(item.error) + ")" + end;
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
                             " bytes is larger than the " + LargestItemText() + " an item may hold",
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
    const DeliverableRequests requests;
    const DrainEnd end =
        DrainSpool({*spool, runner, requests, tools.history, tools.clock, settings->MaxQueueHours});
    if (!end.left.empty()) {
      tools.notices.Notify(end.left, NoticeKind::kPlain);
    }
    return end.status == ExitStatus(Ending::kAccepted) ? LookAtTheIdleModem(tools, *spool)
                                                       : end.status;
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
          read.error == 0 ? spool->Adopt(read.request, fresh, Folder::kFailed, name) : read.error;
      if (error != 0) {
        const RunError failed =
            OsError(error, "Cannot requeue " + spool->PathOf(Folder::kFailed, name) +
                               (read.error == 0 ? "" : " (" + WhyNoItem(read.error) + ")"));
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
        if (const int error = spool->Remove(*name, folder)) {
          throw OsError(error, "Cannot remove " + spool->PathOf(folder, *name));
        }
        tools.history.Record(Concat({"queue: item ", id, " removed from ", FolderName(folder),
                                     " by ", UserName(::getuid())}),
                             LOG_NOTICE);
        tools.notices.Report("removed " + id);
        return ExitStatus(Ending::kAccepted);
      }
    }
    return UnknownItem(id, "in the queue", tools);
  });
}

}  // namespace quorvex
