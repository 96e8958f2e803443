#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "modem/posix_serial_line.h"

namespace quorvex::e2e {
namespace {

using Messages = std::vector<std::string>;

const char* const kWorkingIni = "ComPort=2\r\nSMSPhone=9,012345678\r\n";
const char* const kExample = "ie. Quorvex 447775123456,This is a test message to 07775 123456";

// Runs that stop before the modem is touched.
struct StopCase {
  std::string name;
  std::string ini;  // empty: no Quorvex.ini at all
  std::vector<std::string> arguments;
  int status;
  std::string notice;
  Messages log;
};

void PrintTo(const StopCase& stopCase, std::ostream* out) {
  *out << stopCase.name;
}

class StopsBeforeDelivery : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopsBeforeDelivery, PrintsTheNoticeLogsAndExits) {
  const StopCase& expected = GetParam();
  Installation installation;
  installation.dir.Write("Quorvex.log", "an earlier run's log, to be replaced\r\n");
  if (!expected.ini.empty()) {
    installation.Configure(expected.ini);
  }
  const Outcome outcome = installation.Run(expected.arguments);
  EXPECT_EQ(outcome.status, expected.status);
  EXPECT_EQ(outcome.stderrText, expected.notice);
  EXPECT_EQ(installation.LogMessages(), expected.log);
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, StopsBeforeDelivery,
    ::testing::Values(
        StopCase{"MissingConfiguration",
                 "",
                 {"447775123456,hi"},
                 78,
                 "Quorvex: critical: Quorvex.INI doesn't exists in the application directory..\n",
                 {"Quorvex v1.0.0",
                  "ERROR: Quorvex.INI not found in application directory - "
                  "quitting"}},
        StopCase{"MissingPort",
                 "SMSPhone=9,012345678\n",
                 {"447775123456,hi"},
                 78,
                 "Quorvex: critical: No ComPort parameter defined in Quorvex.INI - ie. "
                 "'ComPort=2'\n",
                 {"Quorvex v1.0.0",
                  "ERROR: ComPort parameter not found in Quorvex.INI file - "
                  "quitting"}},
        StopCase{"MissingDialString",
                 "ComPort=2\nSMSPhone=\n",
                 {"447775123456,hi"},
                 78,
                 "Quorvex: critical: No SMSPhone parameter defined in Quorvex.INI - ie. "
                 "'SMSPhone=9,012345678'\n",
                 {"Quorvex v1.0.0",
                  "ERROR: SMSPhone parameter not found in Quorvex.INI file - "
                  "quitting"}},
        StopCase{"BadMaxAttempts",
                 "ComPort=2\nSMSPhone=1\nMaxAttempts=5 ;tries\n",
                 {"447775123456,hi"},
                 78,
                 "Quorvex: Error #13 (Type mismatch: MAXATTEMPTS value '5 ;TRIES' is not a "
                 "number) occurred during initialization...\n",
                 {"Quorvex v1.0.0",
                  "Error #13 (Type mismatch: MAXATTEMPTS value '5 ;TRIES' is "
                  "not a number) occurred during initialization..."}},
        StopCase{"EmptyRequest",
                 kWorkingIni,
                 {},
                 64,
                 "Quorvex: warning: Please pass International format mobile number and message "
                 "to send via SMS on command line\n\n" +
                     std::string(kExample) + "\n",
                 {"Quorvex v1.0.0", "WARNING: No SMS message to send specified on command line"}},
        StopCase{"InvalidRequest",
                 kWorkingIni,
                 {"+447775123456,hello"},
                 64,
                 "Quorvex: Command line is invalid - please use the form 'Quorvex <Intl. format "
                 "mobile no.>,<message to send>'\n\n" +
                     std::string(kExample) + "\n",
                 {"Quorvex v1.0.0"}}),
    [](const auto& info) { return info.param.name; });

TEST(EndToEnd, LogThatCannotBeCreatedIsReportedAndNothingIsWritten) {
  Installation installation;
  installation.Configure(kWorkingIni);
  std::filesystem::create_directory(installation.dir.path() / "Quorvex.log");
  const Outcome outcome = installation.Run({"447775123456,hi"});
  EXPECT_EQ(outcome.status, 74);
  EXPECT_EQ(outcome.stderrText, "Quorvex: Error #21 (Cannot create trace log " +
                                    (installation.dir.path() / "Quorvex.log").string() +
                                    ": Is a directory) occurred during initialization...\n");
  EXPECT_TRUE(std::filesystem::is_empty(installation.dir.path() / "Quorvex.log"));
}

TEST(EndToEnd, PortThatCannotBeOpenedEndsTheRunAfterTheOpeningLine) {
  Installation installation;
  installation.Configure("ComPort=99\r\nSMSPhone=9,012345678\r\n");
  const Outcome outcome = installation.Run({"447775123456,Meet", "at", "10_30"});
  const std::string text =
      "Error #2 (Cannot open serial port COM99 (/dev/ttyS98): No such file or directory) "
      "occurred during initialization...";
  EXPECT_EQ(outcome.status, 74);
  EXPECT_EQ(outcome.stderrText, "Quorvex: " + text + "\n");
  EXPECT_EQ(installation.LogMessages(),
            (Messages{"Quorvex v1.0.0", "Sending 'Meet at 10_30' to '447775123456'",
                      "Opening communications .. attempt number 1 of 5", text}));
}

// One run of the installed program against the simulator on COM<port>.
struct SimulatedRun {
  Outcome outcome;
  Messages log;
  std::string received;  // every byte the modem got
};

SimulatedRun RunAgainstSimulator(const std::string& ini, int port,
                                 std::vector<std::string> simulatorOptions,
                                 const std::string& request) {
  Installation installation;
  installation.Configure(ini);
  Simulator modem(installation, port, std::move(simulatorOptions));
  SimulatedRun run{installation.Run({request}), {}, {}};
  run.log = installation.LogMessages();
  run.received = modem.StopAndCollectReceived();
  return run;
}

TEST(EndToEnd, DeliversThroughTheSimulatedModem) {
  const SimulatedRun run = RunAgainstSimulator(kWorkingIni, 2, {}, "447775123456,Meet at 10_30");
  EXPECT_EQ(run.outcome.status, 0);
  EXPECT_EQ(run.outcome.stderrText, "");
  EXPECT_EQ(
      run.log,
      (Messages{"Quorvex v1.0.0", "Sending 'Meet at 10_30' to '447775123456'",
                "Opening communications .. attempt number 1 of 5", "Initializing Modem on COM2",
                "Modem responds as expected, about to dial Vodafone service on '9,012345678'",
                "Passing target number '447775123456' to messaging service..",
                "Passing fixed message 'Meet at 10-30' to messaging service..", "Finishing call..",
                "SMS message to '447775123456' was passed to messaging service successfully.",
                "Closing communications.."}));
  EXPECT_EQ(run.received,
            "AT&FE0V1&C1&D2S0=0\rATDT9,012345678\r447775123456\rMeet at 10-30\rATZ\r");
}

TEST(EndToEnd, SilentModemWithOneAttempt) {
  const SimulatedRun run = RunAgainstSimulator("ComPort=3\nSMSPhone=9,012345678\nMaxAttempts=1\n",
                                               3, {"--modem", "silent"}, "447775123456,hi");
  EXPECT_EQ(run.outcome.status, 75);
  EXPECT_EQ(run.outcome.stderrText, "");
  EXPECT_EQ(run.log, (Messages{"Quorvex v1.0.0", "Sending 'hi' to '447775123456'",
                               "Opening communications .. attempt number 1 of 1",
                               "Initializing Modem on COM3",
                               "WARNING: Modem on COM3 didn't respond as expected..",
                               "WARNING: Maximum of 1 attempts - abandoning SMS delivery.. sorry!",
                               "Closing communications.."}));
  EXPECT_EQ(run.received, "AT&FE0V1&C1&D2S0=0\rATZ\r");
}

TEST(EndToEnd, NoDialToneEndsTheDelivery) {
  const SimulatedRun run =
      RunAgainstSimulator(kWorkingIni, 2, {"--dial", "no-dial-tone"}, "447775123456,hi");
  EXPECT_EQ(run.outcome.status, 75);
  EXPECT_EQ(run.outcome.stderrText, "");
  EXPECT_EQ(
      Messages(run.log.end() - 2, run.log.end()),
      (Messages{"ERROR: Modem reports that no DialTone was seen..", "Closing communications.."}));
  EXPECT_EQ(run.received, "AT&FE0V1&C1&D2S0=0\rATDT9,012345678\rATZ\r");
}

// Reads until the answer holds `word`, for at most five seconds.
std::string AnswerHolding(SerialLine& line, const std::string& word) {
  std::string answer;
  const MonotonicTime giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (answer.find(word) == std::string::npos && std::chrono::steady_clock::now() < giveUp) {
    line.WaitUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
    answer += line.ReadAll();
  }
  return answer;
}

TEST(Simulator, SeesACloseAndAnImmediateReopenAsTwoAttempts) {
  Installation installation;
  Simulator modem(installation, 6, {"--dial-delay", "0"});
  PosixSerialLine line(installation.dir.path());
  line.Open(6);
  line.Write("ATDT1\r");
  EXPECT_EQ(AnswerHolding(line, "CONNECT"), "\r\nCONNECT 9600\r\n");
  line.Close();
  line.Open(6);  // a retry reopens at once; the call must be over all the same
  line.Write("ATZ\r");
  EXPECT_EQ(AnswerHolding(line, "OK"), "\r\nOK\r\n");
  line.Close();
  modem.StopAndCollectReceived();
  EXPECT_NE(modem.Transcript().find(" close\n"), std::string::npos);
  EXPECT_NE(modem.Transcript().find(" note hang-up\n"), std::string::npos);
  EXPECT_NE(modem.Transcript().find(" open 2\n"), std::string::npos);
}

}  // namespace
}  // namespace quorvex::e2e
