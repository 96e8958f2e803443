#include "app/drain.h"

#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "app/exit_status.h"
#include "app/request.h"
#include "base/stop_signals.h"
#include "base/text.h"

namespace quorvex {
namespace {

// Past this many, entries set aside are counted rather than each told: a member may plant
// thousands, and the journal must stay readable.
constexpr int kMostToldSetAside = 20;
// An item dated further ahead of the clock is queued afresh, so that its age counts from
// when a drain first saw it (a member can date a file, and the clock may be set back).
constexpr std::time_t kMostAhead = 300;
// What a writer left in tmp/ when it died is removed after this, as maildir readers do.
constexpr std::time_t kLeftoverAge = std::time_t{36} * 3600;

// What taking one entry came to: whether it was delivered (new/ is then read again), and
// the drain's exit status when it must stop.
struct Step {
  bool delivered = false;
  std::optional<int> end;
};

class Drain {
 public:
  explicit Drain(const DrainContext& context) : c_(context) {}

  int Run() {
    c_.spool.RemoveLeftovers(c_.clock.WallTime() - kLeftoverAge);
    ReturnInterrupted();
    try {
      for (;;) {
        const std::vector<std::string> waiting = Waiting();
        std::vector<std::string> untried;
        std::copy_if(waiting.begin(), waiting.end(), std::back_inserter(untried),
                     [this](const std::string& name) { return !passed_.contains(KeyOf(name)); });
        if (untried.empty()) {
          return Finish(waiting.empty() ? ExitStatus(Ending::kAccepted)
                                        : ExitStatus(Ending::kNotDelivered));
        }
        if (const std::optional<int> end = TakeUpToADelivery(untried)) {
          return Finish(*end);
        }
      }
    } catch (const RunError& stop) {
      if (stop.failure() != Failure::kStopped) {
        throw;
      }
      return Finish(ExitStatusForSignal(stop.number()));
    }
  }

 private:
  // Items a drain was delivering when it was stopped go out again: at least once.
  void ReturnInterrupted() {
    for (const std::string& name : c_.spool.Names(Folder::kCur)) {
      if (const int error = c_.spool.Move(name, Folder::kCur, Folder::kNew, name)) {
        Record(name, "cannot be queued again (" + std::string(std::strerror(error)) + ")", LOG_ERR);
      } else {
        Record(name, "was being delivered when a drain stopped; queued again", LOG_WARNING);
      }
    }
  }

  std::vector<std::string> Waiting() const {
    std::vector<std::string> names = c_.spool.Names(Folder::kNew);
    SortInDeliveryOrder(names);
    return names;
  }

  static std::string KeyOf(const std::string& name) {
    const std::optional<ItemName> item = ParseItemName(name);
    return item ? item->id : name;
  }

  // Takes entries in turn up to the first delivery, after which new/ is read again.
  std::optional<int> TakeUpToADelivery(const std::vector<std::string>& untried) {
    for (const std::string& name : untried) {
      c_.clock.SleepUntil(c_.clock.Now());  // a zero wait: lets a pending stop signal in
      passed_.insert(KeyOf(name));
      const Step step = Take(name);
      if (step.delivered || step.end) {
        return step.end;
      }
    }
    return std::nullopt;
  }

  Step Take(const std::string& name) {
    const std::optional<ItemName> item = ParseItemName(name);
    if (!item) {
      return SetAside(name, kFailedMisnamed, "has a name not of the queue's form");
    }
    const ItemRead read = c_.spool.Read(Folder::kNew, name);
    if (!read.problem.empty()) {
      return SetAside(name, kFailedUnsafe, read.problem);
    }
    if (read.request.find('\0') != std::string::npos ||
        ParseRequest(read.request).status != RequestStatus::kValid) {
      return SetAside(name, kFailedInvalid, "not a valid request");
    }
    // Checked just before the delivery: earlier ones may have taken hours.
    const std::time_t now = c_.clock.WallTime();
    if (read.queuedAt > now + kMostAhead) {
      return Renew(name, *item, read.request);
    }
    if (c_.maxQueueHours > 0 && now - read.queuedAt > c_.maxQueueHours * 3600LL) {
      return SetAside(name, kFailedExpired,
                      "older than " + std::to_string(c_.maxQueueHours) + " hours");
    }
    if (const int error = c_.spool.Move(name, Folder::kNew, Folder::kCur, name)) {
      Record(name,
             "cannot be taken for delivery (" + std::string(std::strerror(error)) +
                 "); left for another drain",
             LOG_WARNING);
      return {};
    }
    return {true, Deliver(name, *item, read.request)};
  }

  std::optional<int> Deliver(const std::string& name, const ItemName& item,
                             const std::string& request) {
    const Delivered delivered = c_.runner.Deliver(request, item.id);
    const std::string status = "exit status " + std::to_string(delivered.status);
    if (delivered.status == ExitStatus(Ending::kAccepted)) {
      Record(item.id, "delivered; " + status, LOG_INFO);
      if (const int error = c_.spool.Remove(name, Folder::kCur)) {
        Record(item.id,
               "cannot be removed from cur (" + std::string(std::strerror(error)) +
                   "): the next drain will send it again",
               LOG_ERR);
      }
    } else if (delivered.seen == Seen::kRefusal && delivered.stopSignal == 0 &&
               delivered.status == ExitStatus(Ending::kNotDelivered)) {
      Refused(name, item, request);
      return std::nullopt;
    } else if (delivered.seen == Seen::kAnotherRun && delivered.stopSignal == 0) {
      // Nothing was tried: no fault of the modem, and the item keeps its place.
      PutBack(name, item.id, name, "kept for the next drain: another run is in progress; " + status,
              LOG_WARNING);
      why_ = "another run is in progress";
      return ExitStatus(Ending::kAnotherRun);
    } else {
      PutBack(name, item.id, name, "kept for the next drain; " + status,
              HistoryPriority(delivered.status));
    }
    if (delivered.stopSignal != 0) {
      return ExitStatusForSignal(delivered.stopSignal);
    }
    if (delivered.status == ExitStatus(Ending::kAccepted)) {
      return std::nullopt;
    }
    // Killed by a signal that was not the drain's (the OOM killer, kill -9): no fault of the
    // modem, and worth a look, but the item waits for the next drain all the same.
    const bool killed = delivered.status > 128;
    const bool look = killed || delivered.status == ExitStatus(Ending::kRunError) ||
                      delivered.status == ExitStatus(Ending::kConfiguration);
    why_ =
        "the delivery of " + item.id +
        (killed ? " was killed by signal " + SignalName(delivered.status - 128)
                : " ended with exit status " + std::to_string(delivered.status)) +
        (look ? ": someone must look (see the log)" : ": the modem or the line, try again later");
    return look && !killed ? delivered.status : ExitStatus(Ending::kNotDelivered);
  }

  // The service took the call but not this message (a wrong number, say): the item waits
  // behind the others, and after its last chance it is set aside for the admin.
  void Refused(const std::string& name, const ItemName& item, const std::string& request) {
    const int refusals = item.refusals + 1;
    why_ = "refused by the service, waiting for their next drain";
    if (refusals < kMostRefusals) {
      PutBack(name, item.id, FileNameOf({item.id, refusals}),
              "refused by the service (" + std::to_string(refusals) + " of " +
                  std::to_string(kMostRefusals) + "); queued behind the others; exit status 75",
              LOG_WARNING);
      return;
    }
    const std::string what = "for '" + QuotedValue(ParseRequest(request).number) +
                             "' refused by the service " + std::to_string(kMostRefusals) + " times";
    if (const int error = c_.spool.SetAside(name, Folder::kCur, kFailedRefused)) {
      Record(item.id, what + ", and cannot be moved to failed (" + std::strerror(error) + ")",
             LOG_ERR);
    } else {
      Record(item.id, what + "; moved to failed", LOG_ERR);
    }
  }

  void PutBack(const std::string& name, const std::string& id, const std::string& as,
               const std::string& what, int priority) {
    if (const int error = c_.spool.Move(name, Folder::kCur, Folder::kNew, as)) {
      Record(id,
             "cannot be put back into new (" + std::string(std::strerror(error)) +
                 "); the next drain will",
             LOG_ERR);
      return;
    }
    Record(id, what, priority);
  }

  // Dated ahead of the clock: written again under a fresh name, dated now.
  Step Renew(const std::string& name, const ItemName& item, const std::string& request) {
    const std::string fresh = c_.spool.Add(request, item.refusals);
    if (const int error = c_.spool.Remove(name, Folder::kNew)) {
      c_.spool.Remove(fresh, Folder::kNew);
      Record(name,
             "is dated ahead of the clock and cannot be queued again (" +
                 std::string(std::strerror(error)) + ")",
             LOG_WARNING);
      return {};
    }
    Record(name, "is dated ahead of the clock; queued again as " + fresh, LOG_WARNING);
    return {};
  }

  // Stale or broken entries are worse than none: they go to failed/, never to the modem.
  Step SetAside(const std::string& name, const FailedReason& reason, const std::string& why) {
    const int error = c_.spool.SetAside(name, Folder::kNew, reason);
    if (++setAside_ > kMostToldSetAside) {
      return {};
    }
    if (error != 0) {
      Record(name, why + ", and cannot be moved to failed (" + std::strerror(error) + ")",
             LOG_WARNING);
    } else {
      Record(name, why + "; moved to failed", LOG_ERR);
    }
    return {};
  }

  // A drain that leaves items says how many and why, in one line; one that emptied the
  // queue, or was stopped, says nothing.
  int Finish(int status) {
    if (status != ExitStatus(Ending::kAccepted) && status < 128) {
      const size_t waiting =
          c_.spool.Names(Folder::kNew).size() + c_.spool.Names(Folder::kCur).size();
      c_.notices.Notify(
          std::to_string(waiting) + (waiting == 1 ? " item waits in " : " items wait in ") +
              c_.spool.path() + ": " + (why_.empty() ? "left for another drain" : why_),
          NoticeKind::kPlain);
    }
    if (setAside_ > kMostToldSetAside) {
      c_.history.Record("queue: " + std::to_string(setAside_ - kMostToldSetAside) +
                            " more entries of new set aside likewise",
                        LOG_ERR);
    }
    return status;
  }

  // Names of items are of the queue's form; anything else is shown as printable ASCII.
  void Record(const std::string& name, const std::string& what, int priority) {
    const std::string shown = ParseItemName(name) ? name : "'" + PrintableName(name) + "'";
    c_.history.Record("queue: item " + shown + " " + what, priority);
  }

  const DrainContext& c_;
  std::set<std::string> passed_;  // IDs of the items taken, names of the other entries
  int setAside_ = 0;
  std::string why_;  // why items are left, once the drain knows
};

}  // namespace

int DrainSpool(const DrainContext& drain) {
  return Drain(drain).Run();
}

}  // namespace quorvex
