#include "trace/trace_log.h"

#include <gtest/gtest.h>

#include "app/frm_quorvex.h"
#include "app/notices_fake.h"
#include "app/renderings.h"
#include "app/test_dir.h"
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

TEST(NumberRenderings, SignedBlankHashAndHashZero) {
  EXPECT_EQ(SignedBlank(5), " 5");
  EXPECT_EQ(SignedBlank(0), " 0");
  EXPECT_EQ(SignedBlank(-3), "-3");
  EXPECT_EQ(Hash(0), "");
  EXPECT_EQ(Hash(-12), "-12");
  EXPECT_EQ(HashZero(0), "0");
}

TEST(TraceLog, ReplacesAnEarlierLog) {
  TestDir dir;
  dir.Write("Quorvex.log", "an earlier run's much longer log\r\n");
  TraceLog log;
  log.Open(dir.path() / "Quorvex.log");
  log.Append("one\r\n");
  log.Append("two\r\n");
  EXPECT_EQ(dir.Read("Quorvex.log"), "one\r\ntwo\r\n");
}

TEST(TraceLog, FailureToCreateNamesTheFile) {
  TestDir dir;
  std::filesystem::create_directory(dir.path() / "Quorvex.log");
  TraceLog log;
  try {
    log.Open(dir.path() / "Quorvex.log");
    FAIL() << "opened a directory as the log";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), EISDIR);
    EXPECT_EQ(error.description(), "Cannot create trace log " +
                                       (dir.path() / "Quorvex.log").string() + ": Is a directory");
    EXPECT_EQ(error.exitStatus(), kExitIoError);
  }
  EXPECT_FALSE(log.IsOpen());
}

TEST(WriteTrace, DoesNothingBeforeTheLogIsOpen) {
  TestDir dir;
  RecordingNotices notices;
  FakeClock clock;
  FakeLine line(clock);
  frmQuorvex form({dir.path(), {}, notices, clock, line});
  EXPECT_NO_THROW(form.WriteTrace("not written"));
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "Quorvex.log"));
}

}  // namespace
}  // namespace quorvex
