#include "trace/trace_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/frm_quorvex.h"
#include "app/notices_fake.h"
#include "app/run_history_fake.h"
#include "app/test_dir.h"
#include "base/text.h"
#include "modem/line_fake.h"

namespace quorvex {
namespace {

TEST(TraceFormat, PadsEveryFieldAndKeepsTheMessageAsItIs) {
  std::tm time{};
  time.tm_year = 2026 - 1900;
  time.tm_mon = 2;
  time.tm_mday = 5;
  time.tm_hour = 14;
  time.tm_min = 7;
  time.tm_sec = 3;
  EXPECT_EQ(FormatTraceLine(time, "a\rb\nc"), "05/03/2026 14:07:03 a\rb\nc\r\n");
  EXPECT_EQ(FormatTraceLine(time, ""), "05/03/2026 14:07:03 \r\n");
}

TEST(NumberTexts, SignOrBlankEmptyForZeroAndPlainDigits) {
  EXPECT_EQ(DigitsAfterSignOrBlank(5), " 5");
  EXPECT_EQ(DigitsAfterSignOrBlank(0), " 0");
  EXPECT_EQ(DigitsAfterSignOrBlank(-3), "-3");
  EXPECT_EQ(DigitsOrEmptyForZero(0), "");
  EXPECT_EQ(DigitsOrEmptyForZero(-12), "-12");
  EXPECT_EQ(Digits(0), "0");
}

class TraceLogFile : public ::testing::Test {
 protected:
  std::filesystem::path File() const { return dir.path() / "Quorvex.log"; }
  RunError OpenError() {
    TraceLog log;
    try {
      log.Open(File());
    } catch (const RunError& error) {
      EXPECT_FALSE(log.IsOpen());
      return error;
    }
    ADD_FAILURE() << "opened " << File();
    return RunError(0, "");
  }

  TestDir dir;
};

TEST_F(TraceLogFile, ReplacesAnEarlierLog) {
  dir.Write("Quorvex.log", "an earlier run's much longer log\r\n");
  TraceLog log;
  log.Open(File());
  EXPECT_EQ(log.Append("one\r\n"), 0);
  EXPECT_EQ(log.Append("two\r\n"), 0);
  EXPECT_EQ(dir.Read("Quorvex.log"), "one\r\ntwo\r\n");
}

TEST_F(TraceLogFile, ARunInProgressKeepsItsLogAndTheSecondRunIsTurnedAway) {
  TraceLog first;
  first.Open(File());
  first.Append("first run\r\n");
  const RunError error = OpenError();
  EXPECT_EQ(error.failure(), Failure::kLogInUse);
  EXPECT_EQ(error.description(),
            "Another Quorvex run is in progress in " + dir.path().string() + " - try again later");
  EXPECT_EQ(dir.Read("Quorvex.log"), "first run\r\n");
}

TEST_F(TraceLogFile, OnlyARegularFileWillDo) {
  std::filesystem::create_directory(File());
  EXPECT_EQ(OpenError().description(),
            "Cannot create trace log " + File().string() + ": Is a directory");
  std::filesystem::remove(File());
  ASSERT_EQ(::mkfifo(File().c_str(), 0644), 0);
  EXPECT_EQ(OpenError().description(),
            "Cannot use trace log " + File().string() + ": not a regular file");
}

TEST(WriteTrace, DoesNothingBeforeTheLogIsOpen) {
  TestDir dir;
  RecordingNotices notices;
  FakeClock clock;
  FakeLine line(clock);
  RecordingHistory history;
  frmQuorvex form({dir.path(), {}, notices, clock, line, history});
  EXPECT_NO_THROW(form.WriteTrace("not written"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "Quorvex.log"));
}

}  // namespace
}  // namespace quorvex
