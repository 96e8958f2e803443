#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <regex>
#include <thread>

#include "app/version.h"
#include "e2e/harness.h"

namespace quorvex::e2e {
namespace {

using Messages = std::vector<std::string>;

const char* const kWorkingIni = "ComPort=2\r\nSMSPhone=9,012345678\r\n";
// For runs that must end before any port is opened: no COM99 here, no /dev/ttyS98 anywhere.
const char* const kNoModemIni = "ComPort=99\r\nSMSPhone=9,012345678\r\n";
const char* const kInit = "AT&FE0V1&C1&D2S0=0\r";
const char* const kDial = "ATDT9,012345678\r";
const std::string kBanner = "Quorvex v" + std::string(kVersionNumber);
const std::string kExample =
    "\n\nie. Quorvex 447775123456,This is a test message to 07775 123456\n";

// What only a real process shows: exit statuses, notices, descriptors, special logs, and
// the stop signals a caller sends once the modem answered (or started the run with).
struct ProcessCase {
  std::string name;
  std::string ini;  // empty: no Quorvex.ini at all
  std::vector<std::string> arguments;
  int status;
  std::string notice;  // DIR stands for the installation's directory
  Messages log;        // empty: no log file at all
  std::string layout;  // shell commands run in the installation's directory first
  StartOptions options;
  std::vector<int> sent;  // to a run on a modem whose dial takes 20 s
};

ProcessCase Case(std::string name, std::string ini, std::vector<std::string> arguments, int status,
                 std::string notice, Messages log, std::string layout = "",
                 StartOptions options = {}, std::vector<int> sent = {}) {
  return {std::move(name),   std::move(ini), std::move(arguments), status,
          std::move(notice), std::move(log), std::move(layout),    options,
          std::move(sent)};
}

void PrintTo(const ProcessCase& processCase, std::ostream* out) {
  *out << processCase.name;
}

class Process : public ::testing::TestWithParam<ProcessCase> {
 protected:
  void SetUp() override { SkipUnlessRoot(); }
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { SkipUnlessRoot(); }
};

TEST_P(Process, EndsWithItsStatusNoticeAndLog) {
  const ProcessCase& expected = GetParam();
  Installation installation;
  const std::filesystem::path log = installation.dir.path() / "Quorvex.log";
  if (!expected.ini.empty()) {
    installation.Configure(expected.ini);
  }
  installation.dir.Lay(expected.layout);
  std::optional<Simulator> modem;
  if (!expected.sent.empty()) {
    modem.emplace(installation, std::vector<std::string>{"--dial-delay", "20"});
  }
  Started run(installation.Program(), expected.arguments, expected.options);
  if (modem) {
    ASSERT_TRUE(modem->AwaitReceived(std::string(kInit) + kDial));
    for (int signal : expected.sent) {
      run.Signal(signal);
    }
  }
  const auto signalled = std::chrono::steady_clock::now();
  const Outcome outcome = run.Wait();
  if (modem) {
    EXPECT_LT(SecondsSince(signalled), 5) << "the 20 s dial wait must end at the signal";
    EXPECT_EQ(modem->StopAndCollectReceived(), std::string(kInit) + kDial);
  }
  EXPECT_EQ(outcome.status, expected.status);
  EXPECT_EQ(outcome.err, ReplaceAll(expected.notice, "DIR", installation.dir.path().string()));
  if (expected.log.empty()) {
    EXPECT_FALSE(std::filesystem::is_regular_file(log));
    return;
  }
  EXPECT_EQ(installation.Log(), expected.log);
  EXPECT_EQ(std::filesystem::status(log).permissions(), std::filesystem::perms(0660))
      << "group lock and write, nothing for others, any umask";
}

Messages StoppedBy(const std::string& signal) {
  return {kBanner,
          "Sending 'hi' to '447775123456'",
          "Opening communications .. attempt number 1 of 5",
          "Initializing Modem on COM2",
          "Modem responds as expected, about to dial Vodafone service on '9,012345678'",
          "ERROR: Stopped by signal " + signal};
}

// Dated by the ID the drain gave it when it took it in.
const std::string kOneItemTwoHoursOld =
    "mkdir spool; cd spool; mkdir -m 3770 tmp new; mkdir -m 750 waiting cur failed; "
    "echo 447775123456,x >waiting/$(printf %012d $(($(date +%s) - 7200))).000000.0000000001; "
    "echo \"check $(date +%s) 0 modem answers\" >status";  // the idle modem looked at just now

INSTANTIATE_TEST_SUITE_P(
    EndToEnd, Process,
    ::testing::Values(
        Case("MissingConfiguration", "", {"447775123456,hi"}, 78,
             "Quorvex: critical: Quorvex.INI doesn't exists in the application directory..\n",
             {kBanner, "ERROR: Quorvex.INI not found in application directory - quitting"}),
        Case("EmptyRequest", kNoModemIni, {}, 64,
             "Quorvex: warning: Please pass International format mobile number and message to "
             "send via SMS on command line" +
                 kExample,
             {kBanner, "WARNING: No SMS message to send specified on command line"}),
        // A drain applies the delivery's rules and says why it cannot: its item 2 hours old
        // does not expire without a configuration or on a setting the drain cannot read, and
        // does on one it can.
        Case("DrainWithoutConfiguration", "", {"--drain"}, 78,
             "Quorvex: critical: Quorvex.INI doesn't exists in the application directory..\n", {},
             kOneItemTwoHoursOld),
        Case("DrainWithAnUnreadableSetting", "ComPort=2\nSMSPhone=1\nMaxQueueHours=48h\n",
             {"--drain"}, 78,
             "Quorvex: Error #13 (DIR/Quorvex.ini: Type mismatch: MAXQUEUEHOURS value '48H' is not "
             "a number) "
             "occurred during initialization...\n",
             {}, kOneItemTwoHoursOld),
        Case("DrainExpiringOnTheSetting", "ComPort=99\nSMSPhone=1\nMaxQueueHours=1\n", {"--drain"},
             0, "", {}, kOneItemTwoHoursOld),
        Case("MistypedOption", kNoModemIni, {"-check"}, 64,
             "Quorvex: unknown option '-check' - see Quorvex --help\n", {}),
        Case("OptionWithWords", kNoModemIni, {"--check", "447775123456,hi"}, 64,
             "Quorvex: option '--check' takes no arguments - see Quorvex --help\n", {}),
        Case("RemoveOfTwoItems", kNoModemIni, {"--remove", "1", "2"}, 64,
             "Quorvex: option '--remove' takes one item ID - see Quorvex --help\n", {}),
        Case("HelpToAFullOutput", "", {"--help"}, 74,
             "Quorvex: Error #28 (Cannot write to standard output: No space left on device) "
             "occurred during initialization...\n",
             {}, "", {.outputFull = true}),
        // Queued is queued: a caller told 74 would queue the alert twice. What the drain would
        // set aside is never queued.
        Case("QueueToAFullOutput", "", {"--queue", "447775123456,hi"}, 0, "", {}, "",
             {.outputFull = true}),
        Case("QueueOver64KiB", "", {"--queue", "447775123456," + std::string(65524, 'x')}, 64,
             "Quorvex: The request of 65537 bytes is larger than the 64 KiB an item may hold\n",
             {}),
        // The log behind a link is opened while descriptor 2 is free, unless it is reopened.
        Case("NoticeWithStandardErrorClosed", kNoModemIni, {"+44,hi"}, 64, "", {kBanner},
             "mkdir log; ln -s log/Quorvex.log .", {.closeStandardOutputs = true}),
        Case("NoticeToAReaderThatWentAway", kNoModemIni, {"+44,hi"}, 64, "", {kBanner}, "",
             {.errorReaderGone = true}),
        Case("LogFullAfterTheBanner", "ComPort=-1\nSMSPhone=1\n", {"447775123456,hi"}, 78,
             "Quorvex: warning: Cannot write to trace log DIR/Quorvex.log: File too large - later "
             "lines are dropped\nQuorvex: Error #19 (Serial port COM-1 has no device: port "
             "numbers start at 1) occurred during initialization...\n",
             {kBanner}, "", {.fileSizeLimit = 20 + kBanner.size() + 2}),  // stamp, banner, CR LF
        Case("LogLinkedIntoAGroupWritableDirectory", kNoModemIni, {"447775123456,hi"}, 74,
             "Quorvex: Error #1 (Refusing trace log DIR/Quorvex.log: DIR/log is writable by "
             "group dialout) occurred during initialization...\n",
             {}, "mkdir -m 775 log; chgrp dialout log; ln -s log/Quorvex.log ."),
        Case("LogIsAFifo", kNoModemIni, {"447775123456,hi"}, 74,
             "Quorvex: Error #22 (Cannot use trace log DIR/Quorvex.log: not a regular file) "
             "occurred during initialization...\n",
             {}, "mkfifo Quorvex.log"),
        Case("LogIsADevice", kNoModemIni, {"447775123456,hi"}, 74,
             "Quorvex: Error #22 (Cannot use trace log /dev/null: not a regular file) occurred "
             "during initialization...\n",
             {}, "ln -s /dev/null Quorvex.log"),
        Case("Term", kWorkingIni, {"447775123456,hi"}, 143, "", StoppedBy("SIGTERM"), "", {},
             {SIGTERM}),
        Case("QuitStartedBlocked", kWorkingIni, {"447775123456,hi"}, 131, "", StoppedBy("SIGQUIT"),
             "", {.blocked = {SIGTERM, SIGQUIT}}, {SIGQUIT}),
        Case("HangUpIgnoredUnderNohup", kWorkingIni, {"447775123456,hi"}, 143, "",
             StoppedBy("SIGTERM"), "", {.ignored = {SIGHUP}}, {SIGHUP, SIGTERM})),
    [](const auto& info) { return info.param.name; });

// Root and a dialout member share one installation and its log, one after the other, with
// a modem that echoes and answers in pieces. A check meanwhile is turned away at once. A CR
// in the message goes out as a blank, other text as its nearest ASCII.
TEST_F(EndToEnd, RootAndAGroupMemberDeliverInTurnAndCheckTheModem) {
  Installation installation;
  installation.Configure(kWorkingIni);
  // As packaged: the log behind a link, root:dialout 0660 in a root-owned directory.
  installation.dir.Lay(
      "chmod 755 .; mkdir log; ln -s log/Quorvex.log .; "
      "install -m 660 -g dialout /dev/null log/Quorvex.log");
  Simulator modem(installation, {"--pieces"});
  ::chmod(modem.device().c_str(), 0666);
  Started first(installation.Program(), {"447775123456,Meet at\r10_30"});
  ASSERT_TRUE(modem.AwaitReceived(kInit));
  const auto checkStart = std::chrono::steady_clock::now();
  const Outcome check = installation.Run({"--check"});
  EXPECT_LT(SecondsSince(checkStart), 5) << "turned away at once, not after the delivery";
  EXPECT_EQ(check.status, 75);
  EXPECT_EQ(check.err, "Quorvex: Another Quorvex run is in progress in " +
                           installation.dir.path().string() + " - try again later\n");
  const Outcome outcome = first.Wait();
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.err, "");
  // As a less trusted user: nobody in group dialout.
  const Outcome member =
      Started("/usr/bin/setpriv",
              {"--reuid=nobody", "--regid=dialout", "--clear-groups", installation.Program(),
               "447775123456,K\xC4\x8D 5 \xE2\x80\x93 \xC3\x8D"
               "cone\xE2\x80\x99s \xE2\x82\xAC"
               "5 caf\xE9_x"})
          .Wait();
  EXPECT_EQ(member.status, 0) << member.err;
  EXPECT_EQ(modem.StopAndCollectReceived(),
            std::string(kInit) + kDial + "447775123456\rMeet at 10-30\rATZ\r" + kInit + kDial +
                "447775123456\rKc 5 - Icone's EUR5 caf?-x\rATZ\r");
}

// A run stopped (SIGSTOP) early in a wait and continued past that wait's deadline goes on
// at once; the kernel would otherwise restart the wait with the time it had left.
TEST_F(EndToEnd, ContinuedRunGoesOnAtOnce) {
  Installation installation;
  installation.Configure("ComPort=2\nSMSPhone=9,012345678\nMaxAttempts=1\n");
  Simulator modem(installation, {"--modem", "silent"});
  Started run(installation.Program(), {"447775123456,hi"});
  ASSERT_TRUE(modem.AwaitReceived(kInit));  // the 2 s wait for the modem's OK has begun
  const auto waitBegan = std::chrono::steady_clock::now();
  // Past the wait for the text to go out (21 ms), into the wait for the answer.
  std::this_thread::sleep_until(waitBegan + std::chrono::milliseconds(100));
  run.Signal(SIGSTOP);
  ASSERT_TRUE(Within(60, [&] { return ProcessState(run.pid()) == 'T'; }));
  ASSERT_LT(SecondsSince(waitBegan), 0.5) << "the stop must fall early in the wait";
  // Stopped until the wait's deadline has passed: that passing of time is what is tested.
  std::this_thread::sleep_until(waitBegan + std::chrono::milliseconds(2500));
  run.Signal(SIGCONT);
  const auto continued = std::chrono::steady_clock::now();
  ASSERT_TRUE(installation.Await("didn't respond as expected"));
  EXPECT_LT(SecondsSince(continued), 1) << "the wait must not go on for the 1.5 s it had left";
  EXPECT_EQ(run.Wait().status, 75);
}

// In a shared directory the simulator replaces, truncates and leaves behind nothing.
TEST_F(EndToEnd, SimulatorTouchesNothingItDoesNotOwn) {
  const TestDir dir;
  dir.Lay("echo keep >target; ln -s target planted; ln -s /dev/null COM2");
  const auto in = [&](const char* name) { return (dir.path() / name).string(); };
  for (const std::vector<std::string>& refused :
       {std::vector<std::string>{"--link", in("COM2")},
        {"--link", in("COM3"), "--received", in("planted")},
        {"--link", in("COM4"), "--dial-delay", "inf"}}) {
    EXPECT_EQ(Started(QUORVEX_MODEM_SIM, refused).ReadLine(), "") << "ran: " << refused.back();
  }
  EXPECT_EQ(dir.Read("target"), "keep\n");
  EXPECT_EQ(std::filesystem::read_symlink(in("COM2")), "/dev/null");
  Started hungUp(QUORVEX_MODEM_SIM, {"--link", in("COM5")});
  EXPECT_TRUE(hungUp.ReadLine().starts_with("quorvex-modem-sim: ready"));
  hungUp.Signal(SIGHUP);
  EXPECT_EQ(hungUp.Wait().status, 0);
  EXPECT_FALSE(std::filesystem::is_symlink(in("COM5")));
}

class Queue : public EndToEnd {
 protected:
  // Items queued and not being delivered: in new/ and in the drain's waiting/.
  size_t Waiting() const {
    size_t count = 0;
    for (const char* folder : {"spool/new", "spool/waiting"}) {
      const std::filesystem::path path = installation.dir.path() / folder;
      count += std::filesystem::exists(path)
                   ? std::distance(std::filesystem::directory_iterator(path), {})
                   : 0;
    }
    return count;
  }

  Installation installation;
};

// Whether any process shows `text` on its command line or in its environment.
bool AnyProcessShows(const std::string& text) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    for (const char* file : {"cmdline", "environ"}) {
      std::ifstream shown(entry.path() / file, std::ios::binary);
      const std::string bytes(std::istreambuf_iterator<char>(shown), {});
      if (bytes.find(text) != std::string::npos) {
        return true;
      }
    }
  }
  return false;
}

// Nothing queued is lost: not to a silent modem (75, item kept), a drain killed mid-delivery
// even with SIGTERM ignored (its delivery dies with it), a stopped drain (which stops its
// delivery at once) or a killed delivery; a second drain is turned away; no process shows it.
TEST_F(Queue, KeepsItemsThroughASilentModemAndAKilledDrain) {
  installation.Configure("ComPort=2\nSMSPhone=9,012345678\nMaxAttempts=1\n");
  std::optional<Simulator> modem(std::in_place, installation,
                                 std::vector<std::string>{"--modem", "silent"});
  const Outcome queued = installation.Run({"--queue", "447775123456,Disk", "full", "on", "db7"});
  EXPECT_TRUE(queued.out.starts_with("Quorvex: queued ")) << queued.err;
  EXPECT_EQ(installation.Run({"--drain"}).status, 75);
  modem.reset();
  modem.emplace(installation, std::vector<std::string>{});
  Started killed(installation.Program(), {"--drain"}, {.ignored = {SIGTERM}});
  ASSERT_TRUE(modem->AwaitReceived("AT&F"));
  EXPECT_FALSE(AnyProcessShows("Disk full on db7"));
  killed.Signal(SIGKILL);
  killed.Wait();
  ASSERT_TRUE(installation.Await("ERROR: Stopped by signal SIGTERM"));
  const Fd log(::open((installation.dir.path() / "Quorvex.log").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(Within(60, [&] {
    return ::flock(log.get(), LOCK_SH | LOCK_NB) == 0 && ::flock(log.get(), LOCK_UN) == 0;
  }));
  for (const int signal : {SIGTERM, SIGKILL}) {
    const std::string received = installation.dir.Read("received");
    Started drain(installation.Program(), {"--drain"});
    ASSERT_TRUE(modem->AwaitReceived(received + "AT&F"));
    const Outcome second = installation.Run({"--drain"});
    EXPECT_EQ(second.status, 75);
    EXPECT_TRUE(second.err.find("Another drain is in progress") != std::string::npos);
    const auto signalled = std::chrono::steady_clock::now();
    const std::string task = std::to_string(drain.pid());
    pid_t delivery = 0;  // the drain's one child
    std::ifstream("/proc/" + task + "/task/" + task + "/children") >> delivery;
    ::kill(signal == SIGTERM ? drain.pid() : delivery, signal);
    const Outcome ended = drain.Wait();
    EXPECT_EQ(ended.status, signal == SIGTERM ? 143 : 75);
    EXPECT_EQ(ended.err.find("was killed by signal SIGKILL") != std::string::npos,
              signal == SIGKILL)
        << ended.err;
    EXPECT_LT(SecondsSince(signalled), 10) << "the delivery is stopped, not waited out";
    EXPECT_EQ(Waiting(), 1U);
  }
  // A killed delivery leaves the pty exclusive; a real port forgets it at the last close.
  const Fd port(::open(modem->device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
  ASSERT_EQ(::ioctl(port.get(), TIOCNXCL), 0);
  const Outcome drained = installation.Run({"--drain"});
  EXPECT_EQ(drained.status, 0) << drained.err;
  EXPECT_NE(modem->StopAndCollectReceived().find("447775123456\rDisk full on db7\r"),
            std::string::npos);
}

// A member's names planted beside the item being delivered neither jam nor impersonate it,
// and a kill of the delivery right after the service accepted sends nothing twice.
TEST_F(Queue, APlantBesideADeliveryAndAKillAfterTheAcceptanceSendNothingTwice) {
  installation.Configure("ComPort=2\nSMSPhone=9,012345678\n");
  Simulator modem(installation, {});
  installation.Run({"--queue", "447775123456,once"});
  installation.dir.Lay("chmod 755 .; chgrp -R nogroup spool");
  Started drain(installation.Program(), {"--drain"});
  ASSERT_TRUE(modem.AwaitReceived("AT&F"));
  const std::filesystem::path spool = installation.dir.path() / "spool";
  const std::string id = std::filesystem::directory_iterator(spool / "cur")->path().filename();
  const Outcome planted =
      Started("/usr/bin/setpriv",
              {"--reuid=nobody", "--regid=nogroup", "--clear-groups", "/bin/sh", "-c",
               "cd " + (spool / "new").string() + " && for n in " + id + " " + id + ".r1 " + id +
                   ".r2; do echo planted >$n; done"})
          .Wait();
  ASSERT_EQ(planted.status, 0) << planted.err;
  ASSERT_TRUE(installation.Await("was passed to messaging service successfully"));
  const std::string task = std::to_string(drain.pid());
  pid_t delivery = 0;  // the drain's one child, in its last second
  std::ifstream("/proc/" + task + "/task/" + task + "/children") >> delivery;
  ::kill(delivery, SIGKILL);
  EXPECT_EQ(drain.Wait().status, 0);
  EXPECT_EQ(installation.Run({"--drain"}).status, 0);
  const std::string received = modem.StopAndCollectReceived();
  EXPECT_EQ(received.find("once\r"), received.rfind("once\r")) << "sent once";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(spool / "failed"), {}), 3)
      << "the planted names are entries of their own, set aside";
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(spool / "cur"), {}), 0);
}

// The listing shows the item being delivered, those the drain holds with their refusals,
// those not yet taken in by their IDs alone, and failed entries with their reasons (an
// earlier version's too); no name or text can forge a line or reach the terminal.
TEST_F(Queue, ListsEveryEntrySafely) {
  const std::string id = "001796639223.932658.000000471";
  installation.Run({"--queue", "447775123456,first"});
  installation.dir.Lay(ReplaceAll(R"sh(cd spool; printf '447775123456,a\033[2Jb' >waiting/ID1.r2
    printf 447775123456,c >cur/ID2; printf 44,x >failed/001796639223.932658.0004718.3.invalid
    touch "new/$(printf 'x\n9 queued, 0 failed')")sh",
                                  "ID", id));
  const Outcome listed = installation.Run({"--list-queue"});
  const std::string out = std::regex_replace(listed.out, std::regex(R"(  \d+[smhd]  )"), "  AGE  ");
  const std::string waiting = R"(\d{12}\.\d{6}\.\d{10}  AGE  )";
  EXPECT_TRUE(std::regex_match(
      out, std::regex(id + "2  AGE  447775123456  c  \\(being delivered\\)\n" + id +
                      "1  AGE  447775123456  a \\[2Jb  \\(refused 2 times\\)\n" + waiting +
                      "447775123456  first  \\(not yet taken in by a drain\\)\n" + waiting +
                      "\\(not a valid request\\)  \\(not yet taken in by a drain\\)\n"
                      "001796639223.932658.0004718.3  AGE  \\(not a valid request\\)  "
                      "\\(failed: not a valid request\\)\n"
                      "4 queued, 1 failed\n")))
      << listed.out;
}

// Like postsuper: an admin puts a failed item (an earlier version's too) back into the
// drain's folder under a fresh ID, refusals cleared and age from now, or removes one by its
// whole ID wherever it waits, never the one being delivered; the spool's modes decide who
// may (a member may not take what the drain holds), and an unknown ID is a usage error.
TEST_F(Queue, RequeueAndRemoveFollowTheSpoolsModes) {
  const std::string id = "001796639223.932658.0004718.1";
  const std::string longer = id + "2";  // begins as the first does
  const std::string delivering = "001796639224.000000.0000000001";
  installation.Run({"--queue", "447775123456,queued"});
  installation.dir.Lay(
      "chmod 755 .; chgrp -R dialout spool; cd spool; printf 447775123456,x "
      ">failed/" +
      id + ".refused; printf 447775123456,y >failed/" + longer +
      ".expired; printf 447775123456,z >cur/" + delivering);
  // Each command's history line, sent where the environment says (never to the journal).
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  (installation.dir.path() / "history")
      .string()
      .copy(address.sun_path, sizeof address.sun_path - 1);
  const Fd logger(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(logger.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  const auto run = [&](const std::vector<std::string>& arguments, std::string& history) {
    ::setenv("QUORVEX_HISTORY_SOCKET", address.sun_path, 1);
    const Outcome outcome = installation.Run(arguments);
    ::setenv("QUORVEX_HISTORY_SOCKET", "/nonexistent/quorvex-test-history", 1);
    char line[512] = {};
    history = ::recv(logger.get(), line, sizeof line - 1, MSG_DONTWAIT) > 0 ? line : "";
    return outcome;
  };
  std::string history;
  const Outcome requeued = run({"--requeue", id}, history);
  std::smatch fresh;
  ASSERT_TRUE(
      std::regex_match(requeued.out, fresh,
                       std::regex("Quorvex: requeued " + id + R"( as (\d{12})\.\d{6}\.\d{10}\n)")))
      << requeued.out;
  EXPECT_LT(std::abs(std::stoll(fresh[1]) - std::time(nullptr)), 60) << "its age counts from now";
  const std::string item = requeued.out.substr(requeued.out.size() - 31, 30);
  EXPECT_TRUE(
      history.ends_with("]: queue: item " + id + " requeued from failed as " + item + " by root"))
      << history;
  EXPECT_TRUE(std::filesystem::exists(installation.dir.path() / "spool/waiting" / item));
  const Outcome denied =
      Started("/usr/bin/setpriv", {"--reuid=nobody", "--regid=dialout", "--clear-groups",
                                   installation.Program(), "--remove", item})
          .Wait();
  EXPECT_EQ(denied.status, 74);
  EXPECT_TRUE(denied.err.ends_with("/spool/waiting/" + item + ": Permission denied\n"))
      << denied.err;
  installation.dir.Lay("cd spool/waiting; mv " + item + " " + item + ".r1");  // refused since
  for (const auto& [gone, from] : {std::pair{item, "waiting"}, std::pair{longer, "failed"}}) {
    EXPECT_EQ(run({"--remove", gone}, history).status, 0);
    EXPECT_TRUE(history.ends_with("]: queue: item " + gone + " removed from " + from + " by root"))
        << history;
  }
  for (const char* folder : {"spool/waiting", "spool/failed"}) {
    EXPECT_TRUE(std::filesystem::is_empty(installation.dir.path() / folder)) << folder;
  }
  const Outcome busy = installation.Run({"--remove", delivering});
  EXPECT_EQ(busy.status, 75);
  EXPECT_EQ(busy.err, "Quorvex: Item " + delivering + " is being delivered - try again later\n");
  const Outcome unknown = installation.Run({"--remove", item});
  EXPECT_EQ(unknown.status, 64);
  EXPECT_EQ(unknown.err, "Quorvex: No item " + item + " in the queue - see Quorvex --list-queue\n");
}

// The Nagios plugin: OK, WARNING, CRITICAL and UNKNOWN as the guidelines have them; never
// CRITICAL because a delivery holds the installation, always when another program holds the
// port; for a user outside dialout (Debian's nagios), what a drain recorded, and UNKNOWN when
// that cannot be read; UNKNOWN at its timeout.
TEST_F(Queue, CheckPluginJudgesTheQueueAndTheModem) {
  installation.Configure("ComPort=2\nSMSPhone=9,012345678\nMaxAttempts=1\n");
  installation.dir.Lay(
      "chmod 755 .; ln -s Quorvex check_quorvex; install -m 660 -g dialout "
      "/dev/null Quorvex.log");
  const std::string plugin = (installation.dir.path() / "check_quorvex").string();
  const std::string perf = " | queued=0;;;0 oldest=0s;600;1800;0 failed=0;;;0\n";
  std::optional<Simulator> modem(std::in_place, installation, std::vector<std::string>{});
  Outcome checked = Started(plugin, {}).Wait();
  EXPECT_EQ(checked.out, "QUORVEX OK - 0 queued, modem answers" + perf);
  {
    // As a delivery holds it: the plugin neither probes nor fails.
    const Fd held(::open((installation.dir.path() / "Quorvex.log").c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
    checked = Started(plugin, {}).Wait();
    EXPECT_EQ(checked.out, "QUORVEX OK - 0 queued, delivering" + perf);
  }
  {
    // Another program holds the port, by its lock or by its exclusive mode.
    const std::string held = "COM2 (" + modem->device() + ") is held by another program";
    const Fd port(::open(modem->device().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    ASSERT_EQ(::flock(port.get(), LOCK_EX), 0);
    checked = Started(plugin, {}).Wait();
    EXPECT_EQ(checked.status, 2);
    EXPECT_TRUE(checked.out.starts_with("QUORVEX CRITICAL - 0 queued, " + held + " (PID " +
                                        std::to_string(::getpid()) + ") |"))
        << checked.out;
    ASSERT_EQ(::flock(port.get(), LOCK_UN), 0);
    ASSERT_EQ(::ioctl(port.get(), TIOCEXCL), 0);
    const Outcome check = installation.Run({"--check"});
    EXPECT_EQ(check.status, 75);
    EXPECT_EQ(check.err, "Quorvex: " + held + "\n");
    ASSERT_EQ(::ioctl(port.get(), TIOCNXCL), 0);
  }
  // A drain finds no modem and records it where the group reads it, whatever the umask.
  installation.Run({"--queue", "447775123456,waits"});
  installation.dir.Lay("chgrp -R nogroup spool");
  modem.reset();
  modem.emplace(installation, std::vector<std::string>{"--modem", "silent"});
  const mode_t umask = ::umask(077);  // the drain's, as its unit sets it
  EXPECT_EQ(installation.Run({"--drain"}).status, 75);
  ::umask(umask);
  // Two minutes older, as the drain dates what it holds, and stuck in cur/ (a drain killed).
  installation.dir.Lay(
      "cd spool/waiting; for f in *; do "
      "mv \"$f\" \"../cur/$(printf %012d \"$(expr \"${f%%.*}\" - 120)\").${f#*.}\"; done");
  checked = Started(plugin, {"-w", "60", "-c", "600"}).Wait();
  EXPECT_EQ(checked.status, 2);
  EXPECT_TRUE(std::regex_match(
      checked.out, std::regex(R"(QUORVEX CRITICAL - 1 queued \(oldest 2m\), modem on COM2 \(\S+\) )"
                              R"(echoed the initialisation and gave no answer \| queued=1;;;0 )"
                              R"(oldest=1[2-9]\ds;60;600;0 failed=0;;;0\n)")))
      << checked.out;
  const std::vector<std::string> member{"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                        plugin};
  checked = Started("/usr/bin/setpriv", member).Wait();
  EXPECT_EQ(checked.status, 2) << checked.out;
  EXPECT_TRUE(checked.out.starts_with(
      "QUORVEX CRITICAL - 1 queued (oldest 2m), the last delivery failed with exit status 75, "))
      << checked.out;
  // A record too old to tell the modem's state now; a drain of the empty queue looks at the
  // idle modem and records what it found.
  installation.dir.Lay("rm spool/cur/*; echo 'delivery 1 0 0' >spool/status");
  checked = Started("/usr/bin/setpriv", member).Wait();
  EXPECT_EQ(checked.status, 3) << checked.out;
  EXPECT_EQ(installation.Run({"--drain"}).status, 0);
  checked = Started("/usr/bin/setpriv", member).Wait();
  EXPECT_EQ(checked.status, 2) << checked.out;
  EXPECT_TRUE(checked.out.starts_with("QUORVEX CRITICAL - 0 queued, modem on COM2 (" +
                                      modem->device() +
                                      ") echoed the initialisation and gave no answer, "))
      << checked.out;
  installation.dir.Lay("chmod 600 spool/status");
  checked = Started("/usr/bin/setpriv", member).Wait();
  EXPECT_EQ(checked.status, 3) << checked.out;
  EXPECT_TRUE(checked.out.starts_with("QUORVEX UNKNOWN - 0 queued, cannot read " +
                                      installation.dir.path().string() +
                                      "/spool/status: Permission denied"))
      << checked.out;
  const auto started = std::chrono::steady_clock::now();
  checked = Started(plugin, {"-t", "1"}).Wait();
  EXPECT_EQ(checked.out, "QUORVEX UNKNOWN - timed out after 1 s\n");
  EXPECT_EQ(checked.status, 3);
  EXPECT_LT(SecondsSince(started), 2.9) << "the 3 s look must end at the timeout";
  installation.dir.Lay("chown nobody spool");
  checked = Started(plugin, {}).Wait();
  EXPECT_EQ(checked.status, 3);
  EXPECT_TRUE(checked.out.starts_with("QUORVEX UNKNOWN - cannot read the queue: Refusing spool"));
}

// A run or a drain that starts while a check looks at the modem waits for it and delivers:
// a check never costs an alert, and the drain records the delivery, not a failure.
TEST_F(Queue, ARunOrADrainStartedDuringACheckDelivers) {
  installation.Configure("ComPort=2\nSMSPhone=9,012345678\n");
  Simulator modem(installation, {});
  std::string received;
  for (const std::vector<std::string>& run :
       {std::vector<std::string>{"447775123456,direct"}, std::vector<std::string>{"--drain"}}) {
    if (run[0] == "--drain") {
      installation.Run({"--queue", "447775123456,queued"});
    }
    Started check(installation.Program(), {"--check"});
    ASSERT_TRUE(modem.AwaitReceived(received + "AT&F"));
    Started delivery(installation.Program(), run);
    const Outcome checked = check.Wait();
    EXPECT_EQ(checked.status, 0) << checked.err;
    const Outcome delivered = delivery.Wait();
    EXPECT_EQ(delivered.status, 0) << delivered.err;
    received = installation.dir.Read("received");
  }
  EXPECT_NE(received.find("447775123456\rdirect\r"), std::string::npos);
  EXPECT_NE(received.find("447775123456\rqueued\r"), std::string::npos);
  EXPECT_EQ(Waiting(), 0U);
  EXPECT_TRUE(installation.dir.Read("spool/status").starts_with("delivery ")) << "not a failure";
}

// Queueing never waits for the modem or the installation's lock: 200 callers at once during
// a delivery all succeed and leave 200 items.
TEST_F(Queue, TwoHundredCallersAtOnceDuringADelivery) {
  installation.Configure("ComPort=2\nSMSPhone=9,012345678\n");
  Simulator modem(installation, {});
  Started delivery(installation.Program(), {"447775123456,hi"});
  ASSERT_TRUE(modem.AwaitReceived("AT&F"));
  std::vector<std::unique_ptr<Started>> callers;
  for (int caller = 0; caller < 200; ++caller) {
    callers.push_back(std::make_unique<Started>(
        installation.Program(),
        std::vector<std::string>{"--queue", "447775123456,alert", std::to_string(caller)}));
  }
  for (const auto& caller : callers) {
    const Outcome queued = caller->Wait();
    EXPECT_EQ(queued.status, 0) << queued.err;
  }
  EXPECT_EQ(Waiting(), 200U);
  delivery.Signal(SIGTERM);
  EXPECT_EQ(delivery.Wait().status, 128 + SIGTERM);
}

}  // namespace
}  // namespace quorvex::e2e
