#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <syslog.h>

#include <new>
#include <stdexcept>

#include "app/version.h"
#include "testing/run_harness.h"

namespace quorvex {
namespace {

using Lines = std::vector<std::string>;
using Traffic = std::vector<LineEvent>;
using History = std::vector<std::pair<std::string, int>>;

const char* const kInit = "AT&FE0V1&C1&D2S0=0\r";
const char* const kDial = "ATDT9,012345678\r";

// The whole delivery in virtual time: every log line, every byte on the line, and when.
class Delivery : public ::testing::Test {
 protected:
  int Deliver(const std::string& maxAttempts = "",
              const std::string& request = "447775123456,Meet at 10_30") {
    std::string ini = "ComPort=2\r\nSMSPhone=9,012345678\r\n";
    if (!maxAttempts.empty()) {
      ini += "MaxAttempts=" + maxAttempts + "\r\n";
    }
    run.dir.Write("Quorvex.ini", ini);
    return run.Run({request});
  }
  // The log after the banner and the "Sending" line.
  Lines DeliveryLog() {
    const Lines log = run.Log();
    EXPECT_GE(log.size(), 2U);
    return Lines(log.begin() + 2, log.end());
  }

  RunHarness run;
};

TEST_F(Delivery, AcceptedInOneAttemptOf39Seconds) {
  run.line.AnswerAsWorkingService();
  EXPECT_EQ(Deliver(), 0);
  EXPECT_EQ(run.Log(), (Lines{"+0 Quorvex v" + std::string(kVersionNumber),
                              "+0 Sending 'Meet at 10_30' to '447775123456'",
                              "+0 Opening communications .. attempt number 1 of 5",
                              "+0 Initializing Modem on COM2",
                              "+2 Modem responds as expected, about to dial Vodafone service on "
                              "'9,012345678'",
                              "+32 Passing target number '447775123456' to messaging service..",
                              "+34 Passing fixed message 'Meet at 10-30' to messaging service..",
                              "+36 Finishing call..",
                              "+38 SMS message to '447775123456' was passed to messaging service "
                              "successfully.",
                              "+39 Closing communications.."}));
  EXPECT_EQ(run.line.events, (Traffic{{0, "<open COM2>"},
                                      {0, kInit},
                                      {2, kDial},
                                      {32, "447775123456\r"},
                                      {34, "Meet at 10-30"},
                                      {36, "\r"},
                                      {38, "ATZ\r"},
                                      {39, "<close>"}}));
  EXPECT_EQ(run.history.lines,
            (History{{"to '447775123456': accepted; attempts 1; exit status 0", LOG_INFO}}));
}

TEST_F(Delivery, SilentModemIsTriedMaxAttemptsTimesNineSecondsApart) {
  EXPECT_EQ(Deliver("2"), 75);
  EXPECT_EQ(
      DeliveryLog(),
      (Lines{"+0 Opening communications .. attempt number 1 of 2", "+0 Initializing Modem on COM2",
             "+2 WARNING: Modem on COM2 didn't respond as expected..", "+5 Preparing to Retry..",
             "+9 Opening communications .. attempt number 2 of 2", "+9 Initializing Modem on COM2",
             "+11 WARNING: Modem on COM2 didn't respond as expected..",
             "+11 WARNING: Maximum of 2 attempts - abandoning SMS delivery.. sorry!",
             "+12 Closing communications.."}));
  EXPECT_EQ(run.line.events, (Traffic{{0, "<open COM2>"},
                                      {0, kInit},
                                      {5, "ATZ\r"},
                                      {6, "<close>"},
                                      {9, "<open COM2>"},
                                      {9, kInit},
                                      {11, "ATZ\r"},
                                      {12, "<close>"}}));
  EXPECT_EQ(
      run.history.lines,
      (History{{"to '447775123456': not delivered; attempts 2; exit status 75", LOG_WARNING}}));
}

// A run turned away by the log's lock leaves no history line: the line of the run that
// holds it is the one that counts.
TEST_F(Delivery, RunTurnedAwayLeavesNoHistory) {
  run.dir.Write("Quorvex.log", "");
  const Fd held(::open((run.dir.path() / "Quorvex.log").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  EXPECT_EQ(Deliver(), 75);
  EXPECT_EQ(run.history.lines, History{});
}

// V.250 and most chipsets say NO DIALTONE; some NO DIAL TONE.
class NoDialTone : public Delivery, public ::testing::WithParamInterface<std::string> {};

TEST_P(NoDialTone, IsNeverRetried) {
  run.line.Answer("AT&F", "OK");
  run.line.Answer("ATDT", "\r\n" + GetParam() + "\r\n", 5);
  EXPECT_EQ(Deliver("9"), 75);
  const Lines log = DeliveryLog();
  EXPECT_EQ(Lines(log.end() - 2, log.end()),
            (Lines{"+32 ERROR: Modem reports that no DialTone was seen..",
                   "+33 Closing communications.."}));
}

INSTANTIATE_TEST_SUITE_P(Delivery, NoDialTone, ::testing::Values("NO DIAL TONE", "NO DIALTONE"));

// A check opens the port, asks for OK within 2 s, resets, dials nothing and writes no log;
// it says what the modem answered instead, and a report nobody got is a run error.
struct CheckCase {
  std::string answer;
  double after;
  int reportError;
  int status;
  std::string told;     // the last thing the user is told
  std::string outcome;  // as the history has it
};

class Check : public Delivery, public ::testing::WithParamInterface<CheckCase> {};

TEST_P(Check, InitialisesResetsAndCloses) {
  run.dir.Write("Quorvex.log", "last delivery\r\n");
  const CheckCase& expected = GetParam();
  run.line.Answer("AT&F", expected.answer, expected.after);
  run.notices.reportError = expected.reportError;
  EXPECT_EQ(Deliver("", "--check"), expected.status);
  EXPECT_EQ(run.dir.Read("Quorvex.log"), "last delivery\r\n");
  EXPECT_EQ(run.line.events,
            (Traffic{{0, "<open COM2>"}, {0, kInit}, {2, "ATZ\r"}, {3, "<close>"}}));
  EXPECT_EQ(run.notices.said.back(), expected.told);
  EXPECT_EQ(run.history.lines.at(0).first,
            "check: " + expected.outcome + "; exit status " + std::to_string(expected.status));
}

const std::string kNoSpace =
    "Error #28 (Cannot write to standard output: No space left on device) occurred during "
    "initialization...";

INSTANTIATE_TEST_SUITE_P(
    Delivery, Check,
    ::testing::Values(
        CheckCase{"\r\nOK\r\n", 1.9, 0, 0, "stdout: modem on COM2 (/dev/ttyFAKE0) answers",
                  "modem on COM2 answers"},
        CheckCase{"\r\nOK\r\n", 2.1, 0, 75,
                  "modem on COM2 (/dev/ttyFAKE0) did not answer the initialisation",
                  "modem on COM2 did not answer the initialisation"},
        CheckCase{"AT&FE0V1&C1&D2S0=0\r\n", 0.1, 0, 75,
                  "modem on COM2 (/dev/ttyFAKE0) echoed the initialisation and gave no answer",
                  "modem on COM2 echoed the initialisation and gave no answer"},
        CheckCase{"\r\nERROR\r\nmore", 0.1, 0, 75,
                  "modem on COM2 (/dev/ttyFAKE0) answered 'ERROR' to the initialisation",
                  "modem on COM2 answered 'ERROR' to the initialisation"},
        CheckCase{"\r\nOK\r\n", 0.1, ENOSPC, 74, kNoSpace, "run error: " + kNoSpace}));

TEST_F(Delivery, BusyAndNoCarrierAreRetriedWithoutAMaximumLine) {
  run.line.Answer("AT&F", "OK");
  run.line.Answer("ATDT", "BUSY", 5, 1);
  run.line.Answer("ATDT", "NO CARRIER", 5, 2);
  EXPECT_EQ(Deliver("2"), 75);
  const Lines log = DeliveryLog();
  EXPECT_EQ(Lines(log.begin() + 3, log.begin() + 6),
            (Lines{"+32 WARNING: Call not successful on modem on COM2", "+35 Preparing to Retry..",
                   "+39 Opening communications .. attempt number 2 of 2"}));
  EXPECT_EQ(
      Lines(log.end() - 2, log.end()),
      (Lines{"+71 WARNING: Call not successful on modem on COM2", "+72 Closing communications.."}));
  EXPECT_FALSE(run.refused) << "a fault of the line is no refusal";
}

TEST_F(Delivery, HandOverFaultIsRetriedWithoutTheExtraPause) {
  run.line.AnswerAsWorkingService();
  run.line.Answer("\r", "\r\nMESSAGE NOT ACCEPTED\r\n", 0.5, 1);
  EXPECT_EQ(Deliver(), 0);
  const Lines log = DeliveryLog();
  ASSERT_GE(log.size(), 10U);
  EXPECT_EQ(Lines(log.begin() + 6, log.begin() + 10),
            (Lines{"+38 WARNING: SMS delivery was not successful", "+41 Preparing for retry..",
                   "+42 Opening communications .. attempt number 2 of 5",
                   "+42 Initializing Modem on COM2"}));
  EXPECT_EQ(log.back(), "+81 Closing communications..");
  EXPECT_EQ(run.line.openings(), 2);
}

// What the second of two attempts meets, after a first that reached the service in vain.
struct SecondAttempt {
  std::string prefix;
  std::string answer;
  double after;
  bool refused;
};

class Refusal : public Delivery, public ::testing::WithParamInterface<SecondAttempt> {};

// A drain sets a message aside only when the service itself refused it: every attempt
// reached the service (even if it then hung up) and none was accepted. One attempt whose
// call failed makes it no refusal.
TEST_P(Refusal, NeedsEveryAttemptToReachTheService) {
  run.line.AnswerAsWorkingService();
  run.line.Answer("\r", "\r\nERROR\r\n", 0.5, 1);
  run.line.Answer(GetParam().prefix, GetParam().answer, GetParam().after, 2);
  EXPECT_EQ(Deliver("2"), 75);
  EXPECT_EQ(run.refused, GetParam().refused);
}

INSTANTIATE_TEST_SUITE_P(Delivery, Refusal,
                         ::testing::Values(SecondAttempt{"44", "\r\nNO CARRIER\r\n", 0.5, true},
                                           SecondAttempt{"ATDT", "BUSY", 5, false}));

class OneAttempt : public Delivery, public ::testing::WithParamInterface<std::string> {};

TEST_P(OneAttempt, WhenMaxAttemptsIsOneOrLess) {
  EXPECT_EQ(Deliver(GetParam()), 75);
  EXPECT_EQ(run.line.openings(), 1);
  const Lines log = DeliveryLog();
  EXPECT_TRUE(log.front().ends_with(GetParam() == "-3" ? "of-3" : "of " + GetParam()));
  EXPECT_EQ(log.back(), "+3 Closing communications..");
}

INSTANTIATE_TEST_SUITE_P(Delivery, OneAttempt, ::testing::Values("1", "0", "-3"));

// The service may accept before the final CR, or split its answer across the last two reads.
class Acceptance : public Delivery,
                   public ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(Acceptance, CountsInTheLastTwoAnswersTogether) {
  run.line.Answer("AT&F", "OK");
  run.line.Answer("ATDT", "CONNECT", 20);
  run.line.Answer("Meet", GetParam().first, 1.5);
  run.line.Answer("\r", GetParam().second, 0.2);
  EXPECT_EQ(Deliver(), 0);
  EXPECT_EQ(run.line.openings(), 1);
}

INSTANTIATE_TEST_SUITE_P(Delivery, Acceptance,
                         ::testing::Values(std::pair{"\r\nMESSAGE ACCEPTED\r\n", ""},
                                           std::pair{"\r\nMESSAGE ACC", "EPTED\r\n"}));

// A call that drops right after CONNECT is a call fault; one that drops after the number
// gets no message. Either way nothing more goes out but the reset.
TEST_F(Delivery, DroppedCallsGetNothingMore) {
  run.line.AnswerAsWorkingService();
  run.line.Answer("ATDT", "\r\nCONNECT 9600\r\n\r\nNO CARRIER\r\n", 18, 1);
  run.line.Answer("44", "\r\nNO CARRIER\r\n", 0.5, 2);
  EXPECT_EQ(Deliver(), 0);
  const Lines log = DeliveryLog();
  ASSERT_GE(log.size(), 12U);
  EXPECT_EQ(log.at(3), "+32 WARNING: Call not successful on modem on COM2");
  EXPECT_EQ(Lines(log.begin() + 8, log.begin() + 12),
            (Lines{"+71 Passing target number '447775123456' to messaging service..",
                   "+73 WARNING: SMS delivery was not successful", "+76 Preparing for retry..",
                   "+77 Opening communications .. attempt number 3 of 5"}));
  const Traffic& line = run.line.events;
  EXPECT_EQ(Traffic(line.begin() + 3, line.begin() + 5), (Traffic{{35, "ATZ\r"}, {36, "<close>"}}));
  EXPECT_EQ(Traffic(line.begin() + 8, line.begin() + 11),
            (Traffic{{71, "447775123456\r"}, {76, "ATZ\r"}, {77, "<close>"}}));
}

// The log shows what was asked (controls blanked) and what went out: 7-bit text.
TEST_F(Delivery, MessageGoesOutAsSevenBitText) {
  run.line.AnswerAsWorkingService();
  EXPECT_EQ(Deliver("", "447775123456,a\rb\r\nc\td\x1b_\xC3\xA9"), 0);
  EXPECT_EQ(run.Log().at(1), "+0 Sending 'a b  c d _\xC3\xA9' to '447775123456'");
  EXPECT_EQ(DeliveryLog().at(4), "+34 Passing fixed message 'a b  c d -e' to messaging service..");
  EXPECT_EQ(run.line.events.at(4), (LineEvent{34, "a b  c d -e"}));
}

// A stop ends the wait at once, logs why, and closes the line without a word to the modem.
TEST_F(Delivery, StopSignalDuringTheCallEndsTheRunAtOnce) {
  run.line.AnswerAsWorkingService();
  run.clock.StopAt(10.25, SIGTERM);
  EXPECT_EQ(Deliver(), 128 + SIGTERM);
  EXPECT_EQ(DeliveryLog().back(), "+10 ERROR: Stopped by signal SIGTERM");
  EXPECT_EQ(run.line.events.back(), (LineEvent{10.25, "<close>"}));
  EXPECT_EQ(run.line.events.size(), 4U);
  EXPECT_TRUE(run.notices.said.empty());
  EXPECT_EQ(run.history.lines,
            (History{{"to '447775123456': stopped by signal SIGTERM; attempts 1; exit status 143",
                      LOG_WARNING}}));
}

// Once the service accepted, a stop must not make the message go twice: not after the
// success line, and not in a wait that the acceptance arrived in (after the final CR at
// 36.5 s, or early, after the message at 34.5 s), before the wait could read it.
class StopAfterAcceptance : public Delivery,
                            public ::testing::WithParamInterface<std::pair<double, bool>> {};

TEST_P(StopAfterAcceptance, StillReportsSuccess) {
  const auto [stopAt, early] = GetParam();
  run.line.AnswerAsWorkingService();
  if (early) {
    run.line.Answer("Meet", "\r\nMESSAGE ACCEPTED\r\n", 0.5);
    run.line.Answer("\r", "");
  }
  run.clock.StopAt(stopAt, SIGINT);
  EXPECT_EQ(Deliver(), 0);
  const Lines log = DeliveryLog();
  const std::string at = "+" + std::to_string(static_cast<int>(stopAt)) + " ";
  EXPECT_EQ(Lines(log.end() - 2, log.end()),
            (Lines{at + "SMS message to '447775123456' was passed to messaging service "
                        "successfully.",
                   at + "ERROR: Stopped by signal SIGINT"}));
  EXPECT_EQ(run.line.events.back(), (LineEvent{stopAt, "<close>"}));
  EXPECT_EQ(
      run.history.lines.at(0).first,
      "to '447775123456': accepted, then stopped by signal SIGINT; attempts 1; exit status 0");
}

INSTANTIATE_TEST_SUITE_P(Delivery, StopAfterAcceptance,
                         ::testing::Values(std::pair{38.5, false}, std::pair{36.75, false},
                                           std::pair{35.0, true}));

TEST_F(Delivery, EmptyMessageSendsNothingButStillWaits) {
  run.line.AnswerAsWorkingService();
  EXPECT_EQ(Deliver("", "447775123456,"), 0);
  EXPECT_EQ(DeliveryLog().at(4), "+34 Passing fixed message '' to messaging service..");
  EXPECT_EQ(Traffic(run.line.events.begin() + 3, run.line.events.begin() + 5),
            (Traffic{{32, "447775123456\r"}, {36, "\r"}}));
}

// Whatever fails mid-call, a line error or not, ends in the one handler: logged, told,
// recorded, and the line closed; a port that another program took meanwhile is worth
// trying again later.
struct Failing {
  std::exception_ptr failure;
  std::string text;
  int status = 74;
};

class MidCallFailure : public Delivery, public ::testing::WithParamInterface<Failing> {};

TEST_P(MidCallFailure, EndsInTheHandlerWithTheLineClosed) {
  run.line.AnswerAsWorkingService();
  run.line.FailOnWrite("4477", GetParam().failure);
  const int status = GetParam().status;
  EXPECT_EQ(Deliver(), status);
  const std::string text = GetParam().text + " occurred during initialization...";
  EXPECT_EQ(DeliveryLog().back(), "+32 " + text);
  EXPECT_EQ(run.notices.said, Lines{text});
  EXPECT_EQ(run.line.events.back(), (LineEvent{32, "<close>"}));
  EXPECT_EQ(run.history.lines, (History{{"to '447775123456': run error: " + text +
                                             "; attempts 1; exit status " + std::to_string(status),
                                         status == 75 ? LOG_WARNING : LOG_ERR}}));
  EXPECT_FALSE(run.line.IsOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, MidCallFailure,
    ::testing::Values(
        Failing{std::make_exception_ptr(RunError(EIO, "Cannot write to COM2")),
                "Error #5 (Cannot write to COM2)"},
        Failing{std::make_exception_ptr(RunError(EBUSY, "COM2 in use", Failure::kPortInUse)),
                "Error #16 (COM2 in use)", 75},
        Failing{std::make_exception_ptr(std::bad_alloc()), "Error #12 (Out of memory)"},
        Failing{std::make_exception_ptr(std::logic_error("x")), "Error #131 (Internal error: x)"}));

// A configuration that cannot drive a delivery stops the run before the modem is touched.
class ConfigurationStop
    : public Delivery,
      public ::testing::WithParamInterface<std::pair<std::string, std::string>> {};

TEST_P(ConfigurationStop, EndsWithACriticalNotice) {
  const auto& [layout, notice] = GetParam();
  run.dir.Lay(layout);
  EXPECT_EQ(run.Run({"447775123456,hi"}), 78);
  EXPECT_EQ(run.notices.said, Lines{"critical: " + notice});
  EXPECT_EQ(run.history.lines.at(0).first, "configuration: " + notice + "; exit status 78");
  EXPECT_TRUE(run.line.events.empty());
  EXPECT_FALSE(run.refused) << "no attempt reached the service";
}

INSTANTIATE_TEST_SUITE_P(
    Delivery, ConfigurationStop,
    ::testing::Values(
        std::pair{"mkdir Quorvex.ini", "Quorvex.INI doesn't exists in the application directory.."},
        std::pair{"echo ComPort=2 >Quorvex.ini",
                  "No SMSPhone parameter defined in Quorvex.INI - ie. 'SMSPhone=9,012345678'"}));

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
