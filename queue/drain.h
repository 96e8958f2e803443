#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/clock.h"
#include "queue/spool.h"
#include "trace/run_history.h"

namespace quorvex {

// What a delivery's own run saw beyond its exit status: every attempt reached the service
// and none was accepted (a refusal of this item, not a fault of the line), or another run
// held the installation, so that nothing was tried.
enum class Seen { kNothingMore, kRefusal, kAnotherRun };

// What became of one delivery: its exit status, the stop signal that ended the drain
// meanwhile (0 for none), and what its run saw.
struct Delivered {
  int status = 0;
  int stopSignal = 0;
  Seen seen = Seen::kNothingMore;
};

// Delivers one request as a run of its own. The item stands in cur/ under `name`; the run
// removes it from there the moment the service accepts it, so that a kill after that sends
// nothing twice.
class DeliveryRunner {
 public:
  virtual ~DeliveryRunner() = default;
  virtual Delivered Deliver(const std::string& request, const std::string& id,
                            const std::string& name) = 0;
};

// Whether an item's text is a request a delivery could send.
class RequestCheck {
 public:
  virtual ~RequestCheck() = default;
  // The recipient of `request`, or nothing when it is no request.
  virtual std::optional<std::string> RecipientOf(std::string_view request) const = 0;
};

// What a drain works with; `maxQueueHours` (0: never) decides which items are too old to send.
struct DrainContext {
  const Spool& spool;
  DeliveryRunner& runner;
  const RequestCheck& requests;
  RunHistory& history;
  Clock& clock;
  int maxQueueHours;
};

// How a drain ended: its exit status, and for a drain that leaves items one line saying how
// many and why, for cron's mail and the journal (empty otherwise).
struct DrainEnd {
  int status = 0;
  std::string left;
};

// Takes every entry of new/ into the drain's own waiting/ (or failed/ when it is no item)
// under an ID of its own, then delivers waiting/, those refused fewer times first and by
// arrival among equals, each at most once, after putting back the items a stopped drain
// left in cur/. new/ is taken again after each delivery and once more before the end, so
// items queued meanwhile go out too. An item the service did not accept waits behind the
// others; it counts as refused only when this drain saw the service accept another item, and
// goes to failed/ at its third refusal. Any other failed delivery stops the drain with its
// item back in waiting/. Returns 0 when the queue is empty at the end, 75 when items remain,
// 74 or 78 as the failing delivery did, 128+N when stopped by signal N.
DrainEnd DrainSpool(const DrainContext& drain);

}  // namespace quorvex
