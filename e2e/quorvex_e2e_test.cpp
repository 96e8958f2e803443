#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "e2e/harness.h"

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

// Standard output of `program arguments`, and its exit status.
std::pair<std::string, int> OutputOf(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  std::string output;
  for (int c; (c = std::fgetc(pipe)) != EOF;) {
    output += static_cast<char>(c);
  }
  return {output, WEXITSTATUS(::pclose(pipe))};
}

// --help and --version answer alone, without reading the configuration or writing the log.
TEST(EndToEnd, HelpAndVersionTouchNothing) {
  Installation installation;
  const std::pair<std::string, int> version{"Quorvex 1.0.0\n", 0};
  EXPECT_EQ(OutputOf(installation.Program() + " --version"), version);
  const auto [help, status] = OutputOf(installation.Program() + " --help");
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(help.starts_with("Usage: Quorvex NUMBER,MESSAGE\n")) << help;
  EXPECT_NE(help.find("  " + installation.dir.path().string() + "\n"), std::string::npos);
  EXPECT_TRUE(help.ends_with("See Quorvex(1).\n"));
  EXPECT_FALSE(std::filesystem::exists(installation.dir.path() / "Quorvex.log"));
  EXPECT_EQ(installation.Run({"--version", "x"}).status, 78) << "only as the sole argument";
}

// A log that is a directory or a FIFO ends the run at once, by notice only.
TEST(EndToEnd, LogThatIsNotARegularFileIsReportedAndNothingIsWritten) {
  for (const bool fifo : {false, true}) {
    Installation installation;
    installation.Configure(kWorkingIni);
    const std::filesystem::path log = installation.dir.path() / "Quorvex.log";
    ASSERT_EQ(fifo ? ::mkfifo(log.c_str(), 0644) : ::mkdir(log.c_str(), 0755), 0);
    const Outcome outcome = installation.Run({"447775123456,hi"});
    EXPECT_EQ(outcome.status, 74);
    EXPECT_EQ(outcome.stderrText,
              fifo ? "Quorvex: Error #22 (Cannot use trace log " + log.string() +
                         ": not a regular file) occurred during initialization...\n"
                   : "Quorvex: Error #21 (Cannot open trace log " + log.string() +
                         ": Is a directory) occurred during initialization...\n");
  }
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
  struct stat log {};
  ASSERT_EQ(::stat((installation.dir.path() / "Quorvex.log").c_str(), &log), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(log.st_mode & 0777, 0660 & ~mask) << "nothing for others, whatever the umask";
}

// A dialout member who can write a directory on the way plants a link there; root's run
// must refuse before it opens, creates or truncates anything.
struct PlantedCase {
  std::string name;
  std::string plantedTarget;  // where the member's link points, in the installation
  bool ownDirectory;          // the installation directory itself belongs to nobody
  std::string doubt;          // after the directory's path
};

void PrintTo(const PlantedCase& planted, std::ostream* out) {
  *out << planted.name;
}

class PlantedLink : public ::testing::TestWithParam<PlantedCase> {};

TEST_P(PlantedLink, IsRefusedAndNothingIsTouched) {
  const PlantedCase& planted = GetParam();
  Installation installation;
  const std::filesystem::path dir = installation.dir.path();
  installation.Configure(kWorkingIni);
  installation.dir.Write("root-only", "root's own\n");
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "log").c_str(), 0), 0);
  ASSERT_EQ(::chown((dir / "log").c_str(), 0, planted.ownDirectory ? 0 : 20), 0);
  ASSERT_EQ(::chmod((dir / "log").c_str(), 0775), 0);
  std::filesystem::create_symlink("log/Quorvex.log", dir / "Quorvex.log");
  if (planted.ownDirectory) {
    ASSERT_EQ(::chown(dir.c_str(), 65534, 0), 0);
  }
  const std::string link = (planted.ownDirectory ? dir : dir / "log").string() + "/Quorvex.log";
  const std::string target = (dir / planted.plantedTarget).string();
  ASSERT_EQ(AsGroupMember([&] {
              ::unlink(link.c_str());
              return ::symlink(target.c_str(), link.c_str());
            }),
            0);
  const Outcome outcome = installation.Run({"447775123456,hi"});
  EXPECT_EQ(outcome.status, 74);
  EXPECT_EQ(outcome.stderrText, "Quorvex: Error #1 (Refusing trace log " +
                                    (dir / "Quorvex.log").string() + ": " +
                                    (planted.ownDirectory ? dir : dir / "log").string() +
                                    planted.doubt + ") occurred during initialization...\n");
  EXPECT_EQ(installation.dir.Read("root-only"), "root's own\n");
  EXPECT_FALSE(std::filesystem::exists(dir / "created"));
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, PlantedLink,
                         ::testing::Values(PlantedCase{"ToAnExistingFile", "root-only", false,
                                                       " is writable by group dialout"},
                                           PlantedCase{"ToANewFile", "created", false,
                                                       " is writable by group dialout"},
                                           PlantedCase{"InADirectoryOfAnotherUser", "created", true,
                                                       " belongs to user nobody"}),
                         [](const auto& info) { return info.param.name; });

const Messages kDeliveryLog{
    "Quorvex v1.0.0",
    "Sending 'Meet at 10_30' to '447775123456'",
    "Opening communications .. attempt number 1 of 5",
    "Initializing Modem on COM2",
    "Modem responds as expected, about to dial Vodafone service on '9,012345678'",
    "Passing target number '447775123456' to messaging service..",
    "Passing fixed message 'Meet at 10-30' to messaging service..",
    "Finishing call..",
    "SMS message to '447775123456' was passed to messaging service successfully.",
    "Closing communications.."};
const char* const kDeliveryBytes =
    "AT&FE0V1&C1&D2S0=0\rATDT9,012345678\r447775123456\rMeet at 10-30\rATZ\r";

// The packaged layout: the log behind a link, root:dialout 0660 in a root-owned directory.
void LayOutAsPackaged(const Installation& installation) {
  const std::filesystem::path dir = installation.dir.path();
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "log").c_str(), 0755), 0);
  installation.dir.Write("log/Quorvex.log", "");
  ASSERT_EQ(::chown((dir / "log/Quorvex.log").c_str(), 0, 20), 0);
  ASSERT_EQ(::chmod((dir / "log/Quorvex.log").c_str(), 0660), 0);
  std::filesystem::create_symlink("log/Quorvex.log", dir / "Quorvex.log");
}

// Root and a dialout member share one installation and its log, one after the other. A
// second run meanwhile is turned away at once and leaves the first run's log alone. A CR
// in the message goes out as a blank, other text as its nearest ASCII.
TEST(EndToEnd, RootAndAGroupMemberDeliverInTurnWhileASecondRunIsTurnedAway) {
  Installation installation;
  installation.Configure(kWorkingIni);
  LayOutAsPackaged(installation);
  Simulator modem(installation, 2, {"--pieces"});
  ::chmod(modem.device().c_str(), 0666);
  Started first(installation.Program(), {"447775123456,Meet at\r10_30"});
  ASSERT_TRUE(installation.AwaitLogLine("Initializing Modem on COM2"));
  const auto secondStart = std::chrono::steady_clock::now();
  const Outcome second = installation.Run({});
  EXPECT_LT(SecondsSince(secondStart), 0.1);
  EXPECT_EQ(second.status, 75);
  EXPECT_EQ(second.stderrText, "Quorvex: Another Quorvex run is in progress in " +
                                   installation.dir.path().string() + " - try again later\n");
  const Outcome outcome = first.Wait();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.stderrText, "");
  EXPECT_EQ(installation.LogMessages(), kDeliveryLog);
  StartOptions asMember;
  asMember.asGroupMember = true;
  const Outcome member = Started(installation.Program(),
                                 {"447775123456,K\xC4\x8D 5 \xE2\x80\x93 \xC3\x8D"
                                  "cone\xE2\x80\x99s \xE2\x82\xAC"
                                  "5 caf\xE9_x"},
                                 asMember)
                             .Wait();
  EXPECT_EQ(member.status, 0) << member.stderrText;
  EXPECT_EQ(installation.LogMessages().at(6),
            "Passing fixed message 'Kc 5 - Icone's EUR5 caf?-x' to messaging service..");
  EXPECT_EQ(
      modem.StopAndCollectReceived(),
      std::string(kDeliveryBytes) +
          "AT&FE0V1&C1&D2S0=0\rATDT9,012345678\r447775123456\rKc 5 - Icone's EUR5 caf?-x\rATZ\r");
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

// With the call dropped, the modem takes commands again: the message must not reach it.
TEST(EndToEnd, DroppedCallGetsNoByteOfTheMessage) {
  const SimulatedRun run =
      RunAgainstSimulator("ComPort=2\nSMSPhone=9,012345678\nMaxAttempts=1\n", 2,
                          {"--drop", "after-number"}, "447775123456,ATDT0900123456");
  EXPECT_EQ(run.outcome.status, 75);
  EXPECT_EQ(Messages(run.log.end() - 3, run.log.end()),
            (Messages{"Passing target number '447775123456' to messaging service..",
                      "WARNING: SMS delivery was not successful", "Closing communications.."}));
  EXPECT_EQ(run.received, "AT&FE0V1&C1&D2S0=0\rATDT9,012345678\r447775123456\rATZ\r");
}

TEST(EndToEnd, PortHeldExclusiveByAnotherProgramIsNotTouched) {
  Installation installation;
  installation.Configure(kWorkingIni);
  Simulator modem(installation, 2, {});
  const int held = ::open(modem.device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_EQ(::ioctl(held, TIOCEXCL), 0);
  const Outcome outcome = installation.Run({"447775123456,hi"});
  ::close(held);
  EXPECT_EQ(outcome.status, 75);
  EXPECT_EQ(outcome.stderrText, "Quorvex: Error #16 (Serial port COM2 (" +
                                    (installation.dir.path() / "COM2").string() +
                                    ") is in use by another program) occurred during "
                                    "initialization...\n");
  EXPECT_EQ(modem.StopAndCollectReceived(), "");
}

// Opens the port as a group member (root passes TIOCEXCL), as the next non-root run would,
// and asks for its exclusive flag.
int ExclusiveFlagSeenByAGroupMember(const std::string& device) {
  ::chmod(device.c_str(), 0666);
  return AsGroupMember([&] {
    const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int exclusive = 0;
    return fd < 0 ? 101 : ::ioctl(fd, TIOCGEXCL, &exclusive) != 0 ? 102 : exclusive;
  });
}

class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, EndsTheCallAtOnceAndLeavesThePortFree) {
  Installation installation;
  installation.Configure(kWorkingIni);
  Simulator modem(installation, 2, {"--dial-delay", "20"});
  Started run(installation.Program(), {"447775123456,hi"});
  ASSERT_TRUE(installation.AwaitLogLine("Modem responds as expected"));
  const auto signalled = std::chrono::steady_clock::now();
  run.Signal(GetParam());
  const Outcome outcome = run.Wait();
  EXPECT_LT(SecondsSince(signalled), 0.1);
  EXPECT_EQ(outcome.status, 128 + GetParam());
  EXPECT_EQ(outcome.stderrText, "");
  EXPECT_EQ(installation.LogMessages().back(),
            "ERROR: Stopped by signal " + std::string(GetParam() == SIGTERM  ? "SIGTERM"
                                                      : GetParam() == SIGINT ? "SIGINT"
                                                                             : "SIGHUP"));
  EXPECT_TRUE(modem.AwaitTranscript(" close\n"));
  EXPECT_EQ(ExclusiveFlagSeenByAGroupMember(modem.device()), 0);
  EXPECT_EQ(modem.StopAndCollectReceived(), "AT&FE0V1&C1&D2S0=0\rATDT9,012345678\r");
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, StopSignal, ::testing::Values(SIGTERM, SIGINT, SIGHUP));

// Once the service has accepted, neither a stop nor a full log may make the caller send again.
TEST(EndToEnd, StopDuringTheFinalResetStillReportsSuccess) {
  Installation installation;
  installation.Configure(kWorkingIni);
  Simulator modem(installation, 2, {});
  Started run(installation.Program(), {"447775123456,Meet at 10_30"});
  ASSERT_TRUE(installation.AwaitLogLine("was passed to messaging service successfully."));
  run.Signal(SIGTERM);
  EXPECT_EQ(run.Wait().status, 0);
  EXPECT_EQ(installation.LogMessages().back(), "ERROR: Stopped by signal SIGTERM");
}

// The size of the log up to and including `last`.
rlim_t LogSizeThrough(const std::string& last) {
  rlim_t size = 0;
  for (const std::string& message : kDeliveryLog) {
    size += std::string("06/12/2026 18:43:11 \r\n").size() + message.size();
    if (message == last) {
      break;
    }
  }
  return size;
}

TEST(EndToEnd, LogSizeLimitAfterAcceptanceIsAWarningNotAFailure) {
  Installation installation;
  installation.Configure(kWorkingIni);
  Simulator modem(installation, 2, {});
  const Outcome outcome = Started(installation.Program(), {"447775123456,Meet at 10_30"},
                                  {.fileSizeLimit = LogSizeThrough("Finishing call..")})
                              .Wait();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.stderrText, "Quorvex: warning: Cannot write to trace log " +
                                    (installation.dir.path() / "Quorvex.log").string() +
                                    ": File too large - later lines are dropped\n");
  EXPECT_EQ(installation.LogMessages().back(), "Finishing call..");
}

// Started with standard output and error closed, a notice must not take the port's place.
TEST(EndToEnd, ClosedStandardOutputsLeaveTheLineToTheDialogue) {
  Installation installation;
  installation.Configure(kWorkingIni);
  Simulator modem(installation, 2, {});
  const Outcome outcome = Started(installation.Program(), {"447775123456,Meet at 10_30"},
                                  {.closeStandardOutputs = true,
                                   .fileSizeLimit = LogSizeThrough("Initializing Modem on COM2")})
                              .Wait();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(modem.StopAndCollectReceived(), kDeliveryBytes);
}

// Callers queue themselves on a lock of their own, as the README shows.
TEST(EndToEnd, TwoCallersQueuedThroughFlockAreBothAccepted) {
  Installation installation;
  installation.Configure(kWorkingIni);
  Simulator modem(installation, 2, {"--dial-delay", "0.5"});
  const std::string queue = (installation.dir.path() / "queue.lock").string();
  const std::vector<std::string> arguments{
      "-w", "900", "-E", "75", queue, installation.Program(), "447775123456,Meet at 10_30"};
  Started first("/usr/bin/flock", arguments);
  Started second("/usr/bin/flock", arguments);
  EXPECT_EQ(first.Wait().status, 0);
  EXPECT_EQ(second.Wait().status, 0);
  const std::string transcript = modem.Transcript();
  const size_t firstAccepted = transcript.find(" note accepted\n");
  ASSERT_NE(firstAccepted, std::string::npos);
  EXPECT_NE(transcript.find(" note accepted\n", firstAccepted + 1), std::string::npos);
  EXPECT_EQ(modem.StopAndCollectReceived(), std::string(kDeliveryBytes) + kDeliveryBytes);
}

}  // namespace
}  // namespace quorvex::e2e
