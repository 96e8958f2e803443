#include "config/reader.h"

#include <gtest/gtest.h>

#include "base/text.h"
#include "config/config_file.h"
#include "testing/test.h"

namespace quorvex {
namespace {

int32_t PortOf(const std::string& value) {
  return ReadConfiguration("COMPORT=" + value + "\r\n").ComPort;
}

int16_t AttemptsOf(const std::string& value) {
  return ReadConfiguration("MAXATTEMPTS=" + value).MaxAttempts;
}

RunError ErrorOf(const std::string& bytes) {
  return RunErrorOf([&] { ReadConfiguration(bytes); });
}

TEST(ReadConfiguration, MatchesKeysAtTheStartOfUpperCasedLinesAndTheLastWins) {
  const Settings none = ReadConfiguration("[Modem]\r\n COMPORT=2\r\nCOMPORT = 2\r\n");
  EXPECT_EQ(none.ComPort, 0);
  EXPECT_EQ(none.SMSPhone, "");
  EXPECT_EQ(none.MaxAttempts, 5);
  const Settings some =
      ReadConfiguration("comport=1\rSmsPhone=9,abz 1 \r\nmaxattempts=3\ncomport=7\nSMSPHONE=1");
  EXPECT_EQ(some.ComPort, 7);
  EXPECT_EQ(some.SMSPhone, "1");
  EXPECT_EQ(some.MaxAttempts, 3);
  EXPECT_EQ(ReadConfiguration("SmsPhone=9,abz 1 ").SMSPhone, "9,ABZ 1 ");
}

TEST(ReadConfiguration, PortReadsTheNumericPrefixRoundedHalfToEven) {
  const std::vector<std::pair<std::string, int32_t>> cases{
      {"COM2", 0},  {"2 ;modem", 2},
      {"1 2", 12},  {" \t- 3", -3},
      {"+4x", 4},   {"1E1", 10},
      {"2E", 2},    {"2E+", 2},
      {".5E1", 5},  {"&H10", 0},
      {"2.5", 2},   {"3.5", 4},
      {"-2.5", -2}, {"2147483647", 2147483647}};
  for (const auto& [value, port] : cases) {
    EXPECT_EQ(PortOf(value), port) << value;
  }
  EXPECT_EQ(ErrorOf("COMPORT=2147483647.5").description(),
            "Overflow: COMPORT value '2147483647.5' is outside -2147483648..2147483647");
  EXPECT_EQ(ErrorOf("COMPORT=1E400").number(), kErrorOverflow);
}

TEST(ReadConfiguration, MaxAttemptsMustBeWhollyANumberIn16Bits) {
  EXPECT_EQ(AttemptsOf(" -2.5E1 "), -25);
  EXPECT_EQ(AttemptsOf("+7."), 7);
  EXPECT_EQ(AttemptsOf("32767.4"), 32767);
  EXPECT_EQ(AttemptsOf("-32768.5"), -32768);
  for (const char* value : {"", "   ", "5X", "5 ;COMMENT", "1 2", "5E", ".", "-", "0X10", "\t5"}) {
    const RunError error = ErrorOf(std::string("MAXATTEMPTS=") + value);
    EXPECT_EQ(error.number(), kErrorTypeMismatch) << value;
    EXPECT_EQ(error.description(),
              "Type mismatch: MAXATTEMPTS value '" + BlankControls(value) + "' is not a number");
    EXPECT_EQ(error.failure(), Failure::kSetting);
  }
  EXPECT_EQ(ErrorOf("maxattempts=32767.5").description(),
            "Overflow: MAXATTEMPTS value '32767.5' is outside -32768..32767");
  EXPECT_EQ(ErrorOf("MAXATTEMPTS=-32769").number(), kErrorOverflow);
}

// A long value is cut, and its control bytes, cut or not, are blanked: a CR would split the
// log line.
TEST(ReadConfiguration, ErrorsQuoteAtMostFortyBytesOfAValue) {
  for (const size_t length : {40, 1'000'000}) {
    const std::string value = "\t1" + std::string(length - 2, '0');
    EXPECT_EQ(ErrorOf("MAXATTEMPTS=" + value).description(),
              "Type mismatch: MAXATTEMPTS value ' " + value.substr(1, 39) +
                  (length > 40 ? "..." : "") + "' is not a number");
  }
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

// A FIFO is no configuration, and must not hold the run in open(); a name that cannot be
// opened (a link loop here, a file the user may not read elsewhere) is an error, not a missing
// file.
TEST(ReadRegularFile, TakesAFifoAsMissingAndAnUnopenableNameAsAnError) {
  TestDir dir;
  dir.Lay("mkfifo Quorvex.ini");
  EXPECT_FALSE(ReadRegularFile(dir.path(), "Quorvex.ini"));
  dir.Lay("rm Quorvex.ini; ln -s Quorvex.ini Quorvex.ini");
  const RunError error = RunErrorOf([&] { ReadRegularFile(dir.path(), "Quorvex.ini"); });
  EXPECT_TRUE(error.description().ends_with("Quorvex.ini: Too many levels of symbolic links"));
  EXPECT_EQ(error.failure(), Failure::kSetting);
}

TEST(ReadRegularFile, RefusesAFileOverOneMiBWithoutReadingIt) {
  TestDir dir;
  const std::filesystem::path file = dir.path() / "Quorvex.ini";
  dir.Write("Quorvex.ini", "");
  std::filesystem::resize_file(file, kLargestConfiguration);
  EXPECT_EQ(ReadRegularFile(dir.path(), "Quorvex.ini")->bytes.size(), kLargestConfiguration);
  std::filesystem::resize_file(file, 4ULL << 30);  // sparse: nothing to read but zeros
  const RunError error = RunErrorOf([&] { ReadRegularFile(dir.path(), "Quorvex.ini"); });
  EXPECT_EQ(error.description(), "Configuration file " + file.string() + " is larger than 1 MiB");
  EXPECT_EQ(error.failure(), Failure::kSetting);
}

}  // namespace
}  // namespace quorvex
