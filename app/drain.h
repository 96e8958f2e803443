#pragma once

#include <ctime>
#include <string>

#include "app/run_history.h"
#include "queue/spool.h"

namespace quorvex {

// What became of one delivery: its exit status, and the stop signal that ended the drain
// meanwhile (0 for none).
struct Delivered {
  int status = 0;
  int stopSignal = 0;
};

// Delivers one request as a run of its own.
class DeliveryRunner {
 public:
  virtual ~DeliveryRunner() = default;
  virtual Delivered Deliver(const std::string& request) = 0;
};

// What a drain works with; `now` and `maxQueueHours` (0: never) decide which items are too
// old to send.
struct DrainContext {
  const Spool& spool;
  DeliveryRunner& runner;
  RunHistory& history;
  std::time_t now;
  int maxQueueHours;
};

// Delivers the spool's items oldest first, reading new/ again after each, after putting
// back the items a stopped drain left in cur/. Stops at the first delivery that does not
// end 0, with that item back in new/. Returns 0 when the queue is empty at the end, 75
// when items remain, 74 or 78 as the failing delivery did, 128+N when stopped by signal N.
int DrainSpool(const DrainContext& drain);

}  // namespace quorvex
