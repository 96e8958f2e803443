#include <gtest/gtest.h>

#include "testing/run_harness.h"

namespace quorvex {
namespace {

// The timed exchange and the plain wait in virtual time.
class TimedWaits : public ::testing::Test {
 protected:
  void SetUp() override {
    form.settings.ComPort = 2;
    form.OpenLine();
  }

  RunHarness run;
  frmQuorvex form{{run.dir.path(), {}, run.notices, run.clock, run.line, run.history}};
};

TEST_F(TimedWaits, ExchangeKeepsWaitingWhenTheWaitEndsEarly) {
  run.clock.WakeEarly(std::chrono::milliseconds(300));
  EXPECT_EQ(form.SMS("AT\r", 30), "");
  EXPECT_EQ(run.clock.Elapsed(), 30.0);
}

TEST_F(TimedWaits, LateAnswerTurnsUpInTheNextExchange) {
  run.line.Answer("ATDT", "CONNECT", 3);
  run.line.Answer("44", "THEN", 0.5);
  EXPECT_EQ(form.SMS("ATDT1\r", 2), "");
  EXPECT_EQ(form.SMS("447775123456\r", 2), "CONNECTTHEN");
}

TEST_F(TimedWaits, PauseRunsItsFullLengthEvenWhenSleepsEndEarly) {
  run.clock.WakeEarly(std::chrono::milliseconds(700));
  form.Pause(3.0F);
  EXPECT_EQ(run.clock.Elapsed(), 3.0);
}

TEST(OpenLine, PortOutside16BitsIsABadSettingFoundBeforeAnyDeviceIsTouched) {
  RunHarness run;
  frmQuorvex form({run.dir.path(), {}, run.notices, run.clock, run.line, run.history});
  form.settings.ComPort = 40000;
  try {
    form.OpenLine();
    FAIL() << "opened port 40000";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), kErrorOverflow);
    EXPECT_EQ(error.description(), "Overflow: ComPort 40000 is outside -32768..32767");
    EXPECT_EQ(error.failure(), Failure::kSetting);
  }
  EXPECT_TRUE(run.line.events.empty());
  form.settings.ComPort = -32768;  // the narrowest port that still fits is asked for
  form.OpenLine();
  EXPECT_EQ(run.line.events.at(0).second, "<open COM-32768>");
}

}  // namespace
}  // namespace quorvex
