#include "config/reader.h"

#include <gtest/gtest.h>

#include "base/run_error.h"
#include "base/text.h"
#include "config/config_file.h"
#include "config/numbers.h"
#include "testing/test_dir.h"

namespace quorvex {
namespace {

int32_t PortOf(const std::string& value) {
  return ReadConfiguration("COMPORT=" + value + "\r\n").ComPort;
}

RunError ErrorOf(const std::string& bytes) {
  try {
    ReadConfiguration(bytes);
  } catch (const RunError& error) {
    return error;
  }
  ADD_FAILURE() << "no run error for " << bytes;
  return RunError(0, "");
}

TEST(ReadConfiguration, DefaultsWhenNoKeyMatches) {
  const Settings settings = ReadConfiguration("[Modem]\r\n COMPORT=2\r\nCOMPORT = 2\r\n");
  EXPECT_EQ(settings.ComPort, 0);
  EXPECT_EQ(settings.SMSPhone, "");
  EXPECT_EQ(settings.MaxAttempts, 5);
  EXPECT_EQ(ReadConfiguration("").ComPort, 0);
}

TEST(ReadConfiguration, MatchesKeysAfterUpperCasingTheWholeLine) {
  const Settings settings = ReadConfiguration("comport=2\rSmsPhone=9,abz 1 \r\nmaxattempts=3");
  EXPECT_EQ(settings.ComPort, 2);
  EXPECT_EQ(settings.SMSPhone, "9,ABZ 1 ");
  EXPECT_EQ(settings.MaxAttempts, 3);
}

TEST(ReadConfiguration, LastOccurrenceWins) {
  const Settings settings =
      ReadConfiguration("COMPORT=1\nSMSPHONE=111\nCOMPORT=7\nSMSPHONE=\nMAXATTEMPTS=9\n");
  EXPECT_EQ(settings.ComPort, 7);
  EXPECT_EQ(settings.SMSPhone, "");
  EXPECT_EQ(settings.MaxAttempts, 9);
}

TEST(ReadConfiguration, EndsLinesAtCrCrLfOrLf) {
  EXPECT_EQ(SplitLines("a\rb\r\nc\nd"), (std::vector<std::string_view>{"a", "b", "c", "d"}));
  EXPECT_EQ(SplitLines("a\r\n\r\n"), (std::vector<std::string_view>{"a", ""}));
  EXPECT_EQ(SplitLines("\n\rx"), (std::vector<std::string_view>{"", "", "x"}));
}

TEST(ReadConfiguration, PortReadsTheNumericPrefix) {
  EXPECT_EQ(PortOf("COM2"), 0);
  EXPECT_EQ(PortOf("2 ;modem"), 2);
  EXPECT_EQ(PortOf("1 2"), 12);
  EXPECT_EQ(PortOf(" \t- 3"), -3);
  EXPECT_EQ(PortOf("+4x"), 4);
  EXPECT_EQ(PortOf("1E1"), 10);
  EXPECT_EQ(PortOf("2E"), 2);
  EXPECT_EQ(PortOf("2E+"), 2);
  EXPECT_EQ(PortOf(".5E1"), 5);
  EXPECT_EQ(PortOf("&H10"), 0);
}

TEST(ReadConfiguration, RoundsHalvesToTheEvenNeighbour) {
  EXPECT_EQ(PortOf("2.5"), 2);
  EXPECT_EQ(PortOf("3.5"), 4);
  EXPECT_EQ(PortOf("-2.5"), -2);
  EXPECT_EQ(ReadConfiguration("MAXATTEMPTS=32767.4").MaxAttempts, 32767);
  EXPECT_EQ(ReadConfiguration("MAXATTEMPTS=-32768.5").MaxAttempts, -32768);
}

TEST(ReadConfiguration, PortOutside32BitsIsAnOverflow) {
  EXPECT_EQ(PortOf("2147483647"), 2147483647);
  const RunError error = ErrorOf("COMPORT=2147483647.5\r\n");
  EXPECT_EQ(error.number(), kErrorOverflow);
  EXPECT_EQ(error.description(),
            "Overflow: COMPORT value '2147483647.5' is outside -2147483648..2147483647");
  EXPECT_EQ(error.failure(), Failure::kSetting);
  EXPECT_EQ(ErrorOf("COMPORT=1E400").number(), kErrorOverflow);
}

TEST(ReadConfiguration, MaxAttemptsMustBeWhollyANumber) {
  EXPECT_EQ(ReadConfiguration("MAXATTEMPTS= -2.5E1 ").MaxAttempts, -25);
  EXPECT_EQ(ReadConfiguration("MAXATTEMPTS=+7.").MaxAttempts, 7);
  for (const char* value : {"", "   ", "5X", "5 ;COMMENT", "1 2", "5E", ".", "-", "0X10", "\t5"}) {
    const RunError error = ErrorOf(std::string("MAXATTEMPTS=") + value);
    EXPECT_EQ(error.number(), kErrorTypeMismatch) << value;
    EXPECT_EQ(error.description(),
              "Type mismatch: MAXATTEMPTS value '" + BlankControls(value) + "' is not a number");
    EXPECT_EQ(error.failure(), Failure::kSetting);
  }
}

TEST(ReadConfiguration, MaxAttemptsOutside16BitsIsAnOverflow) {
  const RunError error = ErrorOf("maxattempts=32767.5");
  EXPECT_EQ(error.number(), kErrorOverflow);
  EXPECT_EQ(error.description(), "Overflow: MAXATTEMPTS value '32767.5' is outside -32768..32767");
  EXPECT_EQ(ErrorOf("MAXATTEMPTS=-32769").number(), kErrorOverflow);
}

TEST(ReadConfiguration, ErrorsQuoteAtMostFortyBytesOfAValue) {
  const std::string value = "1" + std::string(1'000'000, '0');
  EXPECT_EQ(
      ErrorOf("MAXATTEMPTS=" + value).description(),
      "Overflow: MAXATTEMPTS value '" + value.substr(0, 40) + "...' is outside -32768..32767");
  const std::string forty = "1" + std::string(39, '0');
  EXPECT_EQ(ErrorOf("MAXATTEMPTS=" + forty).description(),
            "Overflow: MAXATTEMPTS value '" + forty + "' is outside -32768..32767");
}

// The dial string goes out inside ATDT on a 7-bit line: printable ASCII only.
TEST(ReadConfiguration, DialStringOutsidePrintableAsciiIsABadSetting) {
  for (const std::string& bad :
       {std::string(1, '\0'), std::string("\x1f"), std::string("\x7f"), std::string("\x8d")}) {
    const RunError error = ErrorOf("SMSPHONE=9," + bad + "0123\n");
    EXPECT_EQ(error.description(),
              "SMSPHONE value '9," + BlankControls(bad) + "0123' holds " +
                  (bad[0] & 0x80 ? "a non-ASCII character" : "a control character"));
    EXPECT_EQ(error.failure(), Failure::kSetting);
  }
}

TEST(ReadRegularFile, RefusesAFileOverOneMiBWithoutReadingIt) {
  TestDir dir;
  const std::filesystem::path file = dir.path() / "Quorvex.ini";
  dir.Write("Quorvex.ini", "");
  std::filesystem::resize_file(file, kLargestConfiguration);
  EXPECT_EQ(ReadRegularFile(dir.path(), "Quorvex.ini")->size(), kLargestConfiguration);
  std::filesystem::resize_file(file, 4ULL << 30);  // sparse: nothing to read but zeros
  try {
    ReadRegularFile(dir.path(), "Quorvex.ini");
    FAIL() << "read a 4 GB configuration";
  } catch (const RunError& error) {
    EXPECT_EQ(error.description(), "Configuration file " + file.string() + " is larger than 1 MiB");
    EXPECT_EQ(error.failure(), Failure::kSetting);
  }
}

}  // namespace
}  // namespace quorvex
