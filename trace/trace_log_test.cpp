#include "trace/trace_log.h"

#include <gtest/gtest.h>

#include "testing/test.h"

namespace quorvex {
namespace {

// A check only holds the lock, and a second run is turned away before it empties anything:
// the log of the last delivery, or of the one in progress, survives both.
TEST(TraceLog, LockOnlyAndTurnedAwayOpeningsLeaveTheLogAlone) {
  TestDir dir;
  dir.Write("Quorvex.log", "last delivery\r\n");
  TraceLog check;
  check.Open(dir.path(), "Quorvex.log", TraceLog::Use::kLockOnly);
  EXPECT_EQ(check.Append("check line\r\n"), 0);
  TraceLog second;
  const RunError error =
      RunErrorOf([&] { second.Open(dir.path(), "Quorvex.log", TraceLog::Use::kWrite); });
  EXPECT_EQ(error.failure(), Failure::kLogInUse);
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(dir.Read("Quorvex.log"), "last delivery\r\n");
}

}  // namespace
}  // namespace quorvex
