#include "spooler/child_delivery.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include "testing/fakes.h"
#include "testing/run_harness.h"
#include "testing/test.h"

namespace quorvex {
namespace {

// The record learns of the modem from a delivery that ran its course: a refusal shows modem
// and service working, any other end a failing modem; one turned away, stopped or killed
// tells nothing.
TEST(ChildDelivery, RecordsWhatTheDeliveryShowedOfTheModem) {
  const std::optional<Look> refused = LookOf({75, 0, Seen::kRefusal}, 9);
  ASSERT_TRUE(refused);
  EXPECT_EQ(FormatStatusRecord({refused, {}}), "delivery 9 75 1\n");
  EXPECT_EQ(FormatStatusRecord({LookOf({74, 0, Seen::kNothingMore}, 9), {}}), "delivery 9 74 0\n");
  for (const Delivered& told :
       {Delivered{75, 0, Seen::kAnotherRun}, Delivered{143, SIGTERM, Seen::kNothingMore},
        Delivered{137, 0, Seen::kNothingMore}}) {
    EXPECT_FALSE(LookOf(told, 9)) << told.status;
  }
}

// A delivery that cannot start (the user's process limit reached) is a run error, never taken
// for one that ended 0, which would remove its item unsent.
TEST(ChildDelivery, ThatCannotStartIsARunError) {
  TestDir dir;
  const Spool spool = *Spool::Open(dir.path(), SpoolOpening::kCreate);
  RecordingNotices notices;
  RecordingHistory history;
  FakeClock clock;
  const QueueTools tools{dir.path(), notices, history, clock};
  ChildDelivery runner(tools, spool);
  // Root is not held to the limit.
  EXPECT_EQ(RunErrorWithoutRoot([&] {
              const rlimit none{0, 0};
              if (::setrlimit(RLIMIT_NPROC, &none) == 0) {
                runner.Deliver("447775123456,hi", "id", "name");
              }
            }),
            EAGAIN);
}

}  // namespace
}  // namespace quorvex
