#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "e2e/harness.h"

namespace quorvex::e2e {
namespace {

using Messages = std::vector<std::string>;

const char* const kWorkingIni = "ComPort=2\r\nSMSPhone=9,012345678\r\n";
const char* const kSilentIni = "ComPort=2\nSMSPhone=9,012345678\nMaxAttempts=1\n";
const char* const kExample =
    "\n\nie. Quorvex 447775123456,This is a test message to 07775 123456\n";
const char* const kInitAndReset = "AT&FE0V1&C1&D2S0=0\rATZ\r";

// What only a real process shows: exit statuses, notices, descriptors and special logs.
struct ProcessCase {
  std::string name;
  std::string ini;  // empty: no Quorvex.ini at all
  std::function<void(const TestDir&)> lay;
  std::vector<std::string> arguments;
  StartOptions options;
  int status;
  std::string notice;  // DIR stands for the installation's directory
  Messages log;        // {"-"}: no log file at all
};

void PrintTo(const ProcessCase& processCase, std::ostream* out) {
  *out << processCase.name;
}

class Process : public ::testing::TestWithParam<ProcessCase> {};

TEST_P(Process, EndsWithItsStatusNoticeAndLog) {
  const ProcessCase& expected = GetParam();
  Installation installation;
  if (!expected.ini.empty()) {
    installation.Configure(expected.ini);
  }
  if (expected.lay) {
    expected.lay(installation.dir);
  }
  const Outcome outcome = installation.Run(expected.arguments, expected.options);
  EXPECT_EQ(outcome.status, expected.status);
  std::string notice = expected.notice;
  if (const size_t at = notice.find("DIR"); at != std::string::npos) {
    notice.replace(at, 3, installation.dir.path().string());
  }
  EXPECT_EQ(outcome.err, notice);
  if (expected.log == Messages{"-"}) {
    EXPECT_FALSE(std::filesystem::is_regular_file(installation.dir.path() / "Quorvex.log"));
    return;
  }
  EXPECT_EQ(installation.Log(), expected.log);
  struct stat log {};
  ASSERT_EQ(::stat((installation.dir.path() / "Quorvex.log").c_str(), &log), 0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(log.st_mode & 0777, 0660 & ~mask) << "nothing for others, whatever the umask";
}

void LogAs(const TestDir& dir, const std::string& what) {
  const std::filesystem::path log = dir.path() / "Quorvex.log";
  if (what == "fifo") {
    ASSERT_EQ(::mkfifo(log.c_str(), 0600), 0);
  } else if (what == "directory") {
    std::filesystem::create_directory(log);
  } else {
    std::filesystem::create_symlink(what, log);
  }
}

const char* const kBanner = "Quorvex v1.0.0";
const std::string kInvalid =
    "Quorvex: Command line is invalid - please use the form 'Quorvex <Intl. format mobile "
    "no.>,<message to send>'" +
    std::string(kExample);

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, Process,
    ::testing::Values(
        ProcessCase{"MissingConfiguration",
                    "",
                    {},
                    {"447775123456,hi"},
                    {},
                    78,
                    "Quorvex: critical: Quorvex.INI doesn't exists in the application "
                    "directory..\n",
                    {kBanner, "ERROR: Quorvex.INI not found in application directory - quitting"}},
        ProcessCase{"EmptyRequest",
                    kWorkingIni,
                    {},
                    {},
                    {},
                    64,
                    "Quorvex: warning: Please pass International format mobile number and "
                    "message to send via SMS on command line" +
                        std::string(kExample),
                    {kBanner, "WARNING: No SMS message to send specified on command line"}},
        ProcessCase{"HighByteInTheNumber",
                    "ComPort=99\nSMSPhone=1\n",
                    {},
                    {"44777\x8d"
                     "5123,hi"},
                    {},
                    64,
                    kInvalid,
                    {kBanner}},
        ProcessCase{"NoticeWithStandardErrorClosed",
                    kWorkingIni,
                    {},
                    {"+44,hi"},
                    {.closeStandardOutputs = true},
                    64,
                    "",
                    {kBanner}},
        ProcessCase{"NoticeToAReaderThatWentAway",
                    kWorkingIni,
                    {},
                    {"+44,hi"},
                    {.errorReaderGone = true},
                    64,
                    "",
                    {kBanner}},
        ProcessCase{"PortBelowOne",
                    "ComPort=-1\nSMSPhone=1\n",
                    {},
                    {"447775123456,hi"},
                    {},
                    78,
                    "Quorvex: Error #19 (Serial port COM-1 has no device: port numbers start at "
                    "1) occurred during initialization...\n",
                    {kBanner, "Sending 'hi' to '447775123456'",
                     "Opening communications .. attempt number 1 of 5",
                     "Error #19 (Serial port COM-1 has no device: port numbers start at 1) "
                     "occurred during initialization..."}},
        ProcessCase{"LogIsAFifo",
                    kWorkingIni,
                    [](auto& dir) { LogAs(dir, "fifo"); },
                    {"447775123456,hi"},
                    {},
                    74,
                    "Quorvex: Error #22 (Cannot use trace log DIR/Quorvex.log: not a regular "
                    "file) occurred during initialization...\n",
                    {"-"}},
        ProcessCase{"LogIsADirectory",
                    kWorkingIni,
                    [](auto& dir) { LogAs(dir, "directory"); },
                    {"447775123456,hi"},
                    {},
                    74,
                    "Quorvex: Error #21 (Cannot open trace log DIR/Quorvex.log: Is a "
                    "directory) occurred during initialization...\n",
                    {"-"}},
        ProcessCase{"LogIsADevice",
                    kWorkingIni,
                    [](auto& dir) { LogAs(dir, "/dev/null"); },
                    {"447775123456,hi"},
                    {},
                    74,
                    "Quorvex: Error #22 (Cannot use trace log /dev/null: not a regular file) "
                    "occurred during initialization...\n",
                    {"-"}}),
    [](const auto& info) { return info.param.name; });

// A dialout member who can write a directory on the way plants a link there; root's run
// must refuse before it opens, creates or truncates anything.
struct PlantedCase {
  std::string name;
  std::string target;  // where the member's link points, in the installation
  bool ownDirectory;   // the installation directory itself belongs to nobody
  std::string doubt;   // after the unsafe directory's path
};

void PrintTo(const PlantedCase& planted, std::ostream* out) {
  *out << planted.name;
}

class PlantedLink : public ::testing::TestWithParam<PlantedCase> {};

TEST_P(PlantedLink, IsRefusedAndNothingIsTouched) {
  const PlantedCase& planted = GetParam();
  Installation installation;
  const std::filesystem::path dir = installation.dir.path();
  installation.dir.Write("root-only", "root's own\n");
  ASSERT_EQ(::chmod(dir.c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((dir / "log").c_str(), 0), 0);
  ASSERT_EQ(::chown((dir / "log").c_str(), 0, 20), 0);
  ASSERT_EQ(::chmod((dir / "log").c_str(), 0775), 0);
  std::filesystem::create_symlink("log/Quorvex.log", dir / "Quorvex.log");
  if (planted.ownDirectory) {
    ASSERT_EQ(::chown(dir.c_str(), 65534, 0), 0);
  }
  const std::filesystem::path unsafe = planted.ownDirectory ? dir : dir / "log";
  const std::string link = (unsafe / "Quorvex.log").string();
  const std::string target = (dir / planted.target).string();
  ASSERT_EQ(AsGroupMember([&] {
              ::unlink(link.c_str());
              return ::symlink(target.c_str(), link.c_str());
            }),
            0);
  const Outcome outcome = installation.Run({"447775123456,hi"});
  EXPECT_EQ(outcome.status, 74);
  EXPECT_EQ(outcome.err, "Quorvex: Error #1 (Refusing trace log " + (dir / "Quorvex.log").string() +
                             ": " + unsafe.string() + planted.doubt +
                             ") occurred during initialization...\n");
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
    kBanner,
    "Sending 'Meet at 10_30' to '447775123456'",
    "Opening communications .. attempt number 1 of 5",
    "Initializing Modem on COM2",
    "Modem responds as expected, about to dial Vodafone service on '9,012345678'",
    "Passing target number '447775123456' to messaging service..",
    "Passing fixed message 'Meet at 10-30' to messaging service..",
    "Finishing call..",
    "SMS message to '447775123456' was passed to messaging service successfully.",
    "Closing communications.."};

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

// Root and a dialout member share one installation and its log, one after the other, with
// a modem that echoes and answers in pieces. A check meanwhile is turned away at once and
// leaves the run alone. A CR in the message goes out as a blank, other text as its nearest
// ASCII.
TEST(EndToEnd, RootAndAGroupMemberDeliverInTurnWhileACheckIsTurnedAway) {
  Installation installation;
  installation.Configure(kWorkingIni);
  LayOutAsPackaged(installation);
  Simulator modem(installation, 2, {"--pieces"});
  ::chmod(modem.device().c_str(), 0666);
  Started first(installation.Program(), {"447775123456,Meet at\r10_30"});
  ASSERT_TRUE(installation.AwaitLogLine("Initializing Modem on COM2"));
  const auto checkStart = std::chrono::steady_clock::now();
  const Outcome check = installation.Run({"--check"});
  EXPECT_LT(SecondsSince(checkStart), 0.1);
  EXPECT_EQ(check.status, 75);
  EXPECT_EQ(check.err, "Quorvex: Another Quorvex run is in progress in " +
                           installation.dir.path().string() + " - try again later\n");
  const Outcome outcome = first.Wait();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(installation.Log(), kDeliveryLog);
  const Outcome member = installation.Run({"447775123456,K\xC4\x8D 5 \xE2\x80\x93 \xC3\x8D"
                                           "cone\xE2\x80\x99s \xE2\x82\xAC"
                                           "5 caf\xE9_x"},
                                          {.asGroupMember = true});
  EXPECT_EQ(member.status, 0) << member.err;
  EXPECT_EQ(installation.Log().at(6),
            "Passing fixed message 'Kc 5 - Icone's EUR5 caf?-x' to messaging service..");
  EXPECT_EQ(modem.StopAndCollectReceived(),
            "AT&FE0V1&C1&D2S0=0\rATDT9,012345678\r447775123456\rMeet at 10-30\rATZ\r"
            "AT&FE0V1&C1&D2S0=0\rATDT9,012345678\r447775123456\rKc 5 - Icone's EUR5 caf?-x\rATZ\r");
}

// A check sends the initialisation and the reset, and leaves the last run's log as it was.
TEST(EndToEnd, CheckAsksTheModemAndLeavesTheLogAlone) {
  Installation installation;
  installation.Configure(kWorkingIni);
  installation.dir.Write("Quorvex.log", "the last delivery's log\r\n");
  Simulator modem(installation, 2, {});
  const Outcome outcome = installation.Run({"--check"});
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out, "Quorvex: modem on COM2 (" + modem.device() + ") answers\n");
  EXPECT_EQ(installation.dir.Read("Quorvex.log"), "the last delivery's log\r\n");
  EXPECT_EQ(modem.StopAndCollectReceived(), kInitAndReset);
}

TEST(EndToEnd, PortHeldExclusiveByAnotherProgramIsNotTouched) {
  Installation installation;
  installation.Configure(kWorkingIni);
  Simulator modem(installation, 2, {});
  const Fd held(::open(modem.device().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
  ASSERT_EQ(::ioctl(held.get(), TIOCEXCL), 0);
  const Outcome outcome = installation.Run({"447775123456,hi"});
  EXPECT_EQ(outcome.status, 75);
  EXPECT_EQ(outcome.err, "Quorvex: Error #16 (Serial port COM2 (" +
                             (installation.dir.path() / "COM2").string() +
                             ") is in use by another program) occurred during initialization...\n");
  EXPECT_EQ(modem.StopAndCollectReceived(), "");
}

// Started with its outputs closed and a log that fills up at once, the warning must go
// nowhere: not down the modem line, and no SIGXFSZ may end the run.
TEST(EndToEnd, ClosedOutputsAndAFullLogLeaveTheLineToTheDialogue) {
  Installation installation;
  installation.Configure(kSilentIni);
  Simulator modem(installation, 2, {"--modem", "silent"});
  const Outcome outcome =
      installation.Run({"447775123456,hi"}, {.closeStandardOutputs = true, .fileSizeLimit = 40});
  EXPECT_EQ(outcome.status, 75);
  EXPECT_EQ(modem.StopAndCollectReceived(), kInitAndReset);
}

// A run stopped (SIGSTOP) past a wait's deadline goes on at once when continued; the kernel
// would otherwise restart the wait with the time it had left.
TEST(EndToEnd, ContinuedRunGoesOnAtOnce) {
  Installation installation;
  installation.Configure(kSilentIni);
  Simulator modem(installation, 2, {"--modem", "silent"});
  Started run(installation.Program(), {"447775123456,hi"});
  ASSERT_TRUE(installation.AwaitLogLine("Initializing Modem on COM2"));
  run.Signal(SIGSTOP);
  const timespec stopped{2, 500'000'000};  // past the 2 s wait for the modem's OK
  ::nanosleep(&stopped, nullptr);
  run.Signal(SIGCONT);
  const auto continued = std::chrono::steady_clock::now();
  ASSERT_TRUE(installation.AwaitLogLine("didn't respond as expected"));
  EXPECT_LT(SecondsSince(continued), 0.5);
  EXPECT_EQ(run.Wait().status, 75);
}

// Opens the port as a group member (root passes TIOCEXCL), as the next non-root run would,
// and asks for its exclusive flag.
int ExclusiveFlagSeenByAGroupMember(const std::string& device) {
  ::chmod(device.c_str(), 0666);
  return AsGroupMember([&] {
    const Fd fd(::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK));
    int exclusive = 0;
    return !fd.valid() ? 101 : ::ioctl(fd.get(), TIOCGEXCL, &exclusive) != 0 ? 102 : exclusive;
  });
}

// How a caller stops a run: the signals it sends, and those it started the run with.
struct StopCase {
  std::string name;
  std::vector<int> sent;
  StartOptions options;
  int status;
  std::string lastLine;
};

void PrintTo(const StopCase& stop, std::ostream* out) {
  *out << stop.name;
}

class StopSignal : public ::testing::TestWithParam<StopCase> {};

TEST_P(StopSignal, EndsTheCallAtOnceAndLeavesThePortFree) {
  const StopCase& stop = GetParam();
  Installation installation;
  installation.Configure(kWorkingIni);
  Simulator modem(installation, 2, {"--dial-delay", "20"});
  Started run(installation.Program(), {"447775123456,hi"}, stop.options);
  ASSERT_TRUE(installation.AwaitLogLine("Modem responds as expected"));
  const auto signalled = std::chrono::steady_clock::now();
  for (int signal : stop.sent) {
    run.Signal(signal);
  }
  const Outcome outcome = run.Wait();
  EXPECT_LT(SecondsSince(signalled), 0.1);
  EXPECT_EQ(outcome.status, stop.status);
  EXPECT_EQ(outcome.err, "");
  EXPECT_EQ(installation.Log().back(), stop.lastLine);
  EXPECT_TRUE(modem.AwaitTranscript(" close\n"));
  EXPECT_EQ(ExclusiveFlagSeenByAGroupMember(modem.device()), 0);
  EXPECT_EQ(modem.StopAndCollectReceived(), "AT&FE0V1&C1&D2S0=0\rATDT9,012345678\r");
}

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, StopSignal,
    ::testing::Values(StopCase{"Term", {SIGTERM}, {}, 143, "ERROR: Stopped by signal SIGTERM"},
                      StopCase{"QuitStartedBlocked",
                               {SIGQUIT},
                               {.blocked = {SIGTERM, SIGINT, SIGHUP, SIGQUIT}},
                               131,
                               "ERROR: Stopped by signal SIGQUIT"},
                      StopCase{"Usr1", {SIGUSR1}, {}, 138, "ERROR: Stopped by signal SIGUSR1"},
                      StopCase{"HangUpIgnoredUnderNohup",
                               {SIGHUP, SIGTERM},
                               {.ignored = {SIGHUP}},
                               143,
                               "ERROR: Stopped by signal SIGTERM"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorvex::e2e
