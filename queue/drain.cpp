#include "queue/drain.h"

#include <syslog.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <set>

#include "base/exit_status.h"
#include "base/stop_signals.h"
#include "base/text.h"

namespace quorvex {
namespace {

// Past this many, entries set aside are counted rather than each told: a member may plant
// thousands, and the journal must stay readable.
constexpr int kMostToldSetAside = 20;
// What a writer left in tmp/ when it died is removed after this, as maildir readers do.
constexpr std::time_t kLeftoverAge = std::time_t{36} * 3600;

std::string Why(int error) {
  return std::strerror(error);
}

// What taking one item came to: whether it was delivered (new/ is then taken again), and the
// drain's exit status when it must stop.
struct Step {
  bool delivered = false;
  std::optional<int> end;
};

class Drain {
 public:
  explicit Drain(const DrainContext& context) : c_(context) {}

  DrainEnd Run() {
    c_.spool.RemoveLeftovers(c_.clock.WallTime() - kLeftoverAge);
    try {
      ReturnInterrupted();
      for (;;) {
        TakeNew();
        const std::vector<std::string> untried = Untried();
        if (untried.empty()) {
          return Finish(Waiting() == 0 ? ExitStatus(Ending::kAccepted)
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
  // Items a drain was delivering when it was stopped go out again: at least once. What an
  // earlier version left there is taken in like an entry of new/.
  void ReturnInterrupted() {
    for (const std::string& name : c_.spool.Names(Folder::kCur)) {
      if (!ParseItemName(name)) {
        TakeIn(Folder::kCur, name);
      } else if (const int error = c_.spool.Move(name, Folder::kCur, Folder::kWaiting, name)) {
        Record(name, "cannot be queued again (" + Why(error) + ")", LOG_ERR);
      } else {
        Record(name, "was being delivered when a drain stopped; queued again", LOG_WARNING);
      }
    }
  }

  // Every entry of new/, whatever its name or date, into waiting/ under the drain's own ID.
  void TakeNew() {
    for (const std::string& name : c_.spool.Names(Folder::kNew)) {
      if (!leftInNew_.contains(name)) {
        c_.clock.SleepUntil(c_.clock.Now());  // a zero wait: lets a pending stop signal in
        TakeIn(Folder::kNew, name);
      }
    }
  }

  // Its arrival is the change time of its rename into new/, which no writer sets (the clock
  // may have been set back: never later than now).
  void TakeIn(Folder from, const std::string& name) {
    const ItemRead read = c_.spool.Read(from, name);
    if (read.error != 0) {
      SetAside(from, name, kFailedUnsafe, WhyNoItem(read.error));
      return;
    }
    if (!c_.requests.RecipientOf(read.request)) {
      SetAside(from, name, kFailedInvalid, "not a valid request");
      return;
    }
    timespec arrived = read.changed;
    if (const std::time_t now = c_.clock.WallTime(); arrived.tv_sec > now) {
      arrived = {now, 0};
    }
    const std::string id = ItemIdOf(arrived, read.inode);
    if (const int error = c_.spool.Adopt(read.request, id, from, name)) {
      leftInNew_.insert(name);
      Record(name, "cannot be taken in (" + Why(error) + "); left for a later drain", LOG_ERR);
    }
  }

  std::vector<std::string> Untried() const {
    std::vector<std::string> names = c_.spool.Names(Folder::kWaiting);
    SortInDeliveryOrder(names);
    std::erase_if(names, [this](const std::string& name) {
      const std::optional<ItemName> item = ParseItemName(name);
      return !item || passed_.contains(item->id);
    });
    return names;
  }

  size_t Waiting() const { return c_.spool.Names(Folder::kWaiting).size() + leftInNew_.size(); }

  // Takes items in turn up to the first delivery, after which new/ is taken again.
  std::optional<int> TakeUpToADelivery(const std::vector<std::string>& untried) {
    for (const std::string& name : untried) {
      c_.clock.SleepUntil(c_.clock.Now());  // a zero wait: lets a pending stop signal in
      const ItemName item = *ParseItemName(name);
      passed_.insert(item.id);
      const Step step = Take(name, item);
      if (step.delivered || step.end) {
        return step.end;
      }
    }
    return std::nullopt;
  }

  // Checked just before the delivery: earlier ones may have taken hours.
  Step Take(const std::string& name, const ItemName& item) {
    const std::time_t now = c_.clock.WallTime();
    if (c_.maxQueueHours > 0 && now - item.arrived > c_.maxQueueHours * 3600LL) {
      SetAside(Folder::kWaiting, name, kFailedExpired,
               "older than " + std::to_string(c_.maxQueueHours) + " hours");
      return {};
    }
    const ItemRead read = c_.spool.Read(Folder::kWaiting, name);
    if (read.error != 0) {
      SetAside(Folder::kWaiting, name, kFailedUnsafe, WhyNoItem(read.error));
      return {};
    }
    // The claim is one rename: a second drain on the same spool cannot take it too.
    if (const int error = c_.spool.Move(name, Folder::kWaiting, Folder::kCur, name)) {
      Record(name, "cannot be taken for delivery (" + Why(error) + "); left for another drain",
             LOG_WARNING);
      return {};
    }
    return {true, Deliver(name, item, read.request)};
  }

  std::optional<int> Deliver(const std::string& name, const ItemName& item,
                             const std::string& request) {
    const Delivered delivered = c_.runner.Deliver(request, item.id, name);
    const std::string status = "exit status " + std::to_string(delivered.status);
    // Gone from cur/: the delivery saw the acceptance, whatever ended it afterwards.
    const bool accepted =
        delivered.status == ExitStatus(Ending::kAccepted) || !c_.spool.Holds(Folder::kCur, name);
    if (accepted) {
      Accepted(name, item, status);
    } else if (delivered.seen == Seen::kRefusal && delivered.stopSignal == 0 &&
               delivered.status == ExitStatus(Ending::kNotDelivered)) {
      NotAccepted(name, item);
      return std::nullopt;
    } else if (delivered.seen == Seen::kAnotherRun && delivered.stopSignal == 0) {
      // Nothing was tried: no fault of the modem, and the item keeps its place.
      PutBack(name, item.id, "kept for the next drain: another run is in progress; " + status,
              LOG_WARNING);
      why_ = "another run is in progress";
      return ExitStatus(Ending::kAnotherRun);
    } else {
      PutBack(name, item.id, "kept for the next drain; " + status,
              HistoryPriority(delivered.status));
    }
    if (delivered.stopSignal != 0) {
      return ExitStatusForSignal(delivered.stopSignal);
    }
    return accepted ? std::nullopt : Failed(item, delivered.status);
  }

  // Killed by a signal that was not the drain's (the OOM killer, kill -9) before the
  // acceptance: no fault of the modem, and worth a look, but the item waits all the same.
  std::optional<int> Failed(const ItemName& item, int status) {
    const bool killed = status > 128;
    const bool look = killed || status == ExitStatus(Ending::kRunError) ||
                      status == ExitStatus(Ending::kConfiguration);
    why_ =
        "the delivery of " + item.id +
        (killed ? " was killed by signal " + SignalName(status - 128)
                : " ended with exit status " + std::to_string(status)) +
        (look ? ": someone must look (see the log)" : ": the modem or the line, try again later");
    return look && !killed ? status : ExitStatus(Ending::kNotDelivered);
  }

  // The service works: what it did not accept before counts now as refused.
  void Accepted(const std::string& name, const ItemName& item, const std::string& status) {
    Record(item.id, "delivered; " + status, LOG_INFO);
    if (const int error = c_.spool.Remove(name, Folder::kCur); error != 0 && error != ENOENT) {
      Record(item.id,
             "cannot be removed from cur (" + Why(error) + "): the next drain will send it again",
             LOG_ERR);
    }
    sawAcceptance_ = true;
    for (const auto& [waiting, unconfirmed] : std::exchange(unconfirmed_, {})) {
      CountRefusal(waiting, unconfirmed);
    }
  }

  // Every attempt reached the service and none was accepted: the service refused this
  // message (a wrong number, say) only if it accepts others; else the line or the service
  // failed, and nothing is counted. Either way the item waits behind the others.
  void NotAccepted(const std::string& name, const ItemName& item) {
    if (const int error = c_.spool.Move(name, Folder::kCur, Folder::kWaiting, name)) {
      Record(item.id, "cannot be put back into waiting (" + Why(error) + "); the next drain will",
             LOG_ERR);
      return;
    }
    if (sawAcceptance_) {
      CountRefusal(name, item);
      return;
    }
    Record(item.id,
           "not accepted by the service; counted as refused only if it accepts another item; "
           "exit status 75",
           LOG_WARNING);
    unconfirmed_.emplace_back(name, item);
    why_ = "not accepted by the service, which accepted nothing else: try again later";
  }

  // After its last chance a refused item is set aside for the admin.
  void CountRefusal(const std::string& name, const ItemName& item) {
    const int refusals = item.refusals + 1;
    why_ = "refused by the service, waiting for their next drain";
    if (refusals < kMostRefusals) {
      const std::string counted = FileNameOf({item.id, refusals, item.arrived});
      if (const int error = c_.spool.Move(name, Folder::kWaiting, Folder::kWaiting, counted)) {
        Record(item.id, "cannot count its refusal (" + Why(error) + ")", LOG_ERR);
        return;
      }
      Record(item.id,
             "refused by the service (" + std::to_string(refusals) + " of " +
                 std::to_string(kMostRefusals) + "); queued behind the others; exit status 75",
             LOG_WARNING);
      return;
    }
    const ItemRead read = c_.spool.Read(Folder::kWaiting, name);
    const std::string what = "for '" +
                             QuotedValue(c_.requests.RecipientOf(read.request).value_or("")) +
                             "' refused by the service " + std::to_string(kMostRefusals) + " times";
    if (const int error = c_.spool.SetAside(name, Folder::kWaiting, kFailedRefused)) {
      Record(item.id, what + ", and cannot be moved to failed (" + Why(error) + ")", LOG_ERR);
    } else {
      Record(item.id, what + "; moved to failed", LOG_ERR);
    }
  }

  void PutBack(const std::string& name, const std::string& id, const std::string& what,
               int priority) {
    if (const int error = c_.spool.Move(name, Folder::kCur, Folder::kWaiting, name)) {
      Record(id, "cannot be put back into waiting (" + Why(error) + "); the next drain will",
             LOG_ERR);
      return;
    }
    Record(id, what, priority);
  }

  // Stale or broken entries are worse than none: they go to failed/, never to the modem. A
  // move that failed is the error; one done, the notice.
  void SetAside(Folder from, const std::string& name, const FailedReason& reason,
                const std::string& why) {
    const int error = c_.spool.SetAside(name, from, reason);
    if (++(error != 0 ? notSetAside_ : setAside_) > kMostToldSetAside) {
      return;
    }
    if (error != 0) {
      Record(name, why + ", and cannot be moved to failed (" + Why(error) + ")", LOG_ERR);
    } else {
      Record(name, why + "; moved to failed", LOG_NOTICE);
    }
  }

  // A drain that leaves items says how many and why, in one line; one that emptied the
  // queue, or was stopped, says nothing.
  DrainEnd Finish(int status) {
    DrainEnd end{status, ""};
    if (status != ExitStatus(Ending::kAccepted) && status < 128) {
      const size_t waiting = Waiting() + c_.spool.Names(Folder::kCur).size();
      end.left = std::to_string(waiting) + (waiting == 1 ? " item waits in " : " items wait in ") +
                 c_.spool.path() + ": " + (why_.empty() ? "left for another drain" : why_);
    }
    TellTheRest(setAside_, "set aside likewise", LOG_NOTICE);
    TellTheRest(notSetAside_, "that could not be moved to failed likewise", LOG_ERR);
    return end;
  }

  // Past the entries told one by one, the rest of their kind in one line.
  void TellTheRest(int count, const std::string& what, int priority) {
    if (count > kMostToldSetAside) {
      c_.history.Record(
          "queue: " + std::to_string(count - kMostToldSetAside) + " more entries " + what,
          priority);
    }
  }

  // Names of items are of the queue's form; anything else is shown as printable ASCII.
  void Record(const std::string& name, const std::string& what, int priority) {
    const std::string shown = ParseItemName(name) ? name : "'" + PrintableName(name) + "'";
    c_.history.Record("queue: item " + shown + " " + what, priority);
  }

  const DrainContext& c_;
  std::set<std::string> passed_;     // IDs of the items taken
  std::set<std::string> leftInNew_;  // entries of new/ this drain could not take in
  bool sawAcceptance_ = false;       // the service accepted an item in this drain
  std::vector<std::pair<std::string, ItemName>> unconfirmed_;  // not accepted, not yet counted
  int setAside_ = 0;                                           // entries moved to failed/
  int notSetAside_ = 0;                                        // entries whose move there failed
  std::string why_;  // why items are left, once the drain knows
};

}  // namespace

DrainEnd DrainSpool(const DrainContext& drain) {
  return Drain(drain).Run();
}

}  // namespace quorvex
