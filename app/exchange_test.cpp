#include <gtest/gtest.h>

#include "testing/run_harness.h"

namespace quorvex {
namespace {

// A wait ends at its deadline however often a single sleep ends early.
TEST(TimedWaits, RunTheirFullLengthWhenSleepsEndEarly) {
  RunHarness run;
  frmQuorvex form{{run.dir.path(), {}, run.notices, run.clock, run.line, run.history}};
  form.settings.ComPort = 2;
  form.OpenLine();
  run.clock.WakeEarly(std::chrono::milliseconds(700));
  EXPECT_EQ(form.SMS("AT\r", 30), "");
  EXPECT_EQ(run.clock.Elapsed(), 30.0);
  form.Pause(3.0F);
  EXPECT_EQ(run.clock.Elapsed(), 33.0);
}

TEST(OpenLine, PortOutside16BitsIsABadSettingFoundBeforeAnyDeviceIsTouched) {
  RunHarness run;
  frmQuorvex form({run.dir.path(), {}, run.notices, run.clock, run.line, run.history});
  form.settings.ComPort = 40000;
  const RunError error = RunErrorOf([&] { form.OpenLine(); });
  EXPECT_EQ(error.number(), kErrorOverflow);
  EXPECT_EQ(error.description(), "Overflow: ComPort 40000 is outside -32768..32767");
  EXPECT_EQ(error.failure(), Failure::kSetting);
  EXPECT_TRUE(run.line.events.empty());
  form.settings.ComPort = 32767;  // the widest port that still fits is asked for
  form.OpenLine();
  EXPECT_EQ(run.line.events.at(0).second, "<open COM32767>");
}

}  // namespace
}  // namespace quorvex
