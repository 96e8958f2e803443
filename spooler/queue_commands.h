#pragma once

#include <string>
#include <vector>

#include "spooler/tools.h"

namespace quorvex {

// Quorvex --queue: checks the request as a delivery would, stores it in the spool (made
// when missing) and reports "queued ID for NUMBER". Touches neither the log nor the modem.
int QueueRequest(const std::vector<std::string>& arguments, const QueueTools& tools);
// Quorvex --drain: delivers the queue, each item as a run of this program of its own; one
// drain at a time (75 for a second). An empty or missing spool touches nothing and is 0.
int DrainQueue(const QueueTools& tools);
// Quorvex --list-queue: prints one line per waiting item, then "N queued, M failed".
int ListQueue(const QueueTools& tools);
// Quorvex --requeue ID, or --requeue failed for all: moves items from failed/ back into new/
// with their refusals cleared and their age counted from now. 64 for an unknown ID.
int RequeueItems(const std::string& which, const QueueTools& tools);
// Quorvex --remove ID: deletes a queued or failed item (not one being delivered, 75). 64 for
// an unknown ID.
int RemoveItem(const std::string& id, const QueueTools& tools);

}  // namespace quorvex
