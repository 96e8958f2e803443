#include "app/drain.h"

#include <syslog.h>

#include <cstring>
#include <set>

#include "app/exit_status.h"
#include "app/request.h"

namespace quorvex {
namespace {

class Drain {
 public:
  explicit Drain(const DrainContext& context) : c_(context) {}

  int Run() {
    ReturnInterrupted();
    for (;;) {
      const std::string* next = Next();
      if (next == nullptr) {
        return left_.empty() ? ExitStatus(Ending::kAccepted) : ExitStatus(Ending::kNotDelivered);
      }
      const std::string name = *next;
      if (const std::optional<int> end = Take(name)) {
        return *end;
      }
    }
  }

 private:
  // Items a drain was delivering when it was stopped go out again: at least once.
  void ReturnInterrupted() {
    for (const std::string& name : c_.spool.Names(Folder::kCur)) {
      if (c_.spool.Move(name, Folder::kCur, Folder::kNew) == 0) {
        Record(name, "was being delivered when a drain stopped; queued again", LOG_WARNING);
      }
    }
  }

  const std::string* Next() {
    names_ = c_.spool.Names(Folder::kNew);
    for (const std::string& name : names_) {
      if (!left_.contains(name)) {
        return &name;
      }
    }
    return nullptr;
  }

  // Delivers or sets aside one item; the drain's exit status when it must stop.
  std::optional<int> Take(const std::string& name) {
    const ItemRead item = c_.spool.Read(Folder::kNew, name);
    if (!item.problem.empty()) {
      return Fail(name, item.problem);
    }
    if (ParseRequest(item.request).status != RequestStatus::kValid) {
      return Fail(name, "not a valid request");
    }
    const long long age = static_cast<long long>(c_.now - item.queuedAt);
    if (c_.maxQueueHours > 0 && age > c_.maxQueueHours * 3600LL) {
      return Fail(name, "older than " + std::to_string(c_.maxQueueHours) + " hours");
    }
    if (const int error = c_.spool.Move(name, Folder::kNew, Folder::kCur)) {
      return Leave(name, "cannot be taken for delivery", error);
    }
    return Deliver(name, item.request);
  }

  std::optional<int> Deliver(const std::string& name, const std::string& request) {
    const Delivered delivered = c_.runner.Deliver(request);
    const std::string status = "exit status " + std::to_string(delivered.status);
    if (delivered.status == ExitStatus(Ending::kAccepted)) {
      c_.spool.Remove(name, Folder::kCur);
      Record(name, "delivered; " + status, LOG_INFO);
    } else {
      c_.spool.Move(name, Folder::kCur, Folder::kNew);
      Record(name, "kept for the next drain; " + status, HistoryPriority(delivered.status));
    }
    if (delivered.stopSignal != 0) {
      return ExitStatusForSignal(delivered.stopSignal);
    }
    if (delivered.status == ExitStatus(Ending::kAccepted)) {
      return std::nullopt;
    }
    const bool look = delivered.status == ExitStatus(Ending::kRunError) ||
                      delivered.status == ExitStatus(Ending::kConfiguration);
    return look ? delivered.status : ExitStatus(Ending::kNotDelivered);
  }

  // A stale or broken item is worse than none: it goes to failed/, never to the modem.
  std::optional<int> Fail(const std::string& name, const std::string& why) {
    if (const int error = c_.spool.Move(name, Folder::kNew, Folder::kFailed)) {
      return Leave(name, why + ", and cannot be moved to failed", error);
    }
    Record(name, why + "; moved to failed", LOG_ERR);
    return std::nullopt;
  }

  // Left where it is for a drain that may move it.
  std::optional<int> Leave(const std::string& name, const std::string& why, int error) {
    left_.insert(name);
    Record(name, why + " (" + std::strerror(error) + "); left for another drain", LOG_WARNING);
    return std::nullopt;
  }

  void Record(const std::string& name, const std::string& what, int priority) {
    c_.history.Record("queue: item " + name + " " + what, priority);
  }

  const DrainContext& c_;
  std::vector<std::string> names_;
  std::set<std::string> left_;
};

}  // namespace

int DrainSpool(const DrainContext& drain) {
  return Drain(drain).Run();
}

}  // namespace quorvex
