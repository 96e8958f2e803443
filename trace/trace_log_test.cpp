#include "trace/trace_log.h"

#include <gtest/gtest.h>

#include "testing/test.h"

namespace quorvex {
namespace {

// A check only holds the lock, and a second run is turned away before it empties anything:
// the log of the last delivery, or of the one in progress, survives both. A delivery that finds
// only a check learns so (it may wait), as does a second check; whoever finds a delivery is turned
// away; neither touches the log.
TEST(TraceLog, LockOnlyAndTurnedAwayOpeningsLeaveTheLogAlone) {
  TestDir dir;
  dir.Write("Quorvex.log", "last delivery\r\n");
  const auto turnedAway = [&](TraceLog::Use use) {
    TraceLog second;
    const RunError error = RunErrorOf([&] { second.Open(dir.path(), "Quorvex.log", use); });
    EXPECT_FALSE(second.IsOpen());
    return error.failure();
  };
  TraceLog check;
  check.Open(dir.path(), "Quorvex.log", TraceLog::Use::kLockOnly);
  EXPECT_EQ(check.Append("check line\r\n"), 0);
  EXPECT_EQ(turnedAway(TraceLog::Use::kWrite), Failure::kLogInCheck);
  EXPECT_EQ(turnedAway(TraceLog::Use::kLockOnly), Failure::kLogInCheck);
  check.Close();
  EXPECT_EQ(dir.Read("Quorvex.log"), "last delivery\r\n");
  TraceLog delivery;
  delivery.Open(dir.path(), "Quorvex.log", TraceLog::Use::kWrite);
  EXPECT_EQ(turnedAway(TraceLog::Use::kWrite), Failure::kLogInUse);
  EXPECT_EQ(turnedAway(TraceLog::Use::kLockOnly), Failure::kLogInUse);
  delivery.Append("new delivery\r\n");
  EXPECT_EQ(dir.Read("Quorvex.log"), "new delivery\r\n");
}

}  // namespace
}  // namespace quorvex
