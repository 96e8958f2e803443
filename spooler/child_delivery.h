#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>

#include "queue/drain.h"
#include "queue/spool.h"
#include "queue/status_record.h"
#include "spooler/tools.h"

namespace quorvex {

// A delivery in a child process that runs exactly what `Quorvex REQUEST` runs, with its own
// log run, notices, exit status and history line. The child is not a new program: the
// request stays in memory, never on a command line or in the environment, and the drain's
// signal handling stays in place, so that a stop sent at once is held, not lost. It marks
// its item delivered at the acceptance, tells the drain through a pipe whether the service
// refused the message or another run turned it away, and the drain records what the modem
// did for the monitoring check.
// What a delivery's end tells of the modem, for the record; nothing if it did not run its
// course.
std::optional<Look> LookOf(const Delivered& delivered, std::time_t at);

// Records `look` for the monitoring check; a record that cannot be written is told to the
// journal, since the check then reads an older one.
void RecordForTheCheck(const QueueTools& tools, const Spool& spool, Look look);

class ChildDelivery final : public DeliveryRunner {
 public:
  ChildDelivery(const QueueTools& tools, const Spool& spool) : tools_(tools), spool_(spool) {}

  Delivered Deliver(const std::string& request, const std::string& id,
                    const std::string& name) override;

 private:
  int DeliverInChild(pid_t drain, const std::string& request, const std::string& id,
                     const std::string& name, int report);

  const QueueTools& tools_;
  const Spool& spool_;
};

}  // namespace quorvex
