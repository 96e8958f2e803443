#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <regex>

#include "e2e/harness.h"

namespace quorvex::e2e {
namespace {

class Queue : public ::testing::Test {
 protected:
  void SetUp() override { SkipUnlessRoot(); }
  size_t Waiting() const {
    return std::distance(std::filesystem::directory_iterator(installation.dir.path() / "spool/new"),
                         {});
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

// Nothing queued is lost: not to a silent modem (the drain keeps the item and says 75), not
// to a drain killed mid-delivery, even one started with SIGTERM ignored (its delivery dies
// with it, and the next drain sends the item again), not to a delivery killed by a signal;
// a stopped drain stops its delivery at once; and no process shows the alert.
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

// The listing shows the item being delivered, refusals and failed entries with their
// reasons, and no name or text can forge a line or reach the terminal as a control.
TEST_F(Queue, ListsEveryEntrySafely) {
  const std::string id = "001796639223.932658.0004718.";
  installation.Run({"--queue", "447775123456,first"});
  installation.dir.Lay(ReplaceAll(R"sh(cd spool; printf '447775123456,a\033[2Jb' >new/ID1.r2
    printf 447775123456,c >cur/ID2; printf 44,x >failed/ID3.invalid
    touch "new/$(printf 'x\n9 queued, 0 failed')")sh",
                                  "ID", id));
  const Outcome listed = installation.Run({"--list-queue"});
  const std::string out = std::regex_replace(listed.out, std::regex(R"(  \d+[smhd]  )"), "  AGE  ");
  EXPECT_TRUE(std::regex_match(
      out, std::regex(id +
                      "2  AGE  447775123456  c  \\(being delivered\\)\n"
                      "x\\?9 queued, 0 failed  AGE  \\(not a valid request\\)  \\(not an "
                      "item: a name not of the queue's form\\)\n" +
                      R"(\d{12}\.\d{6}\.\d{7}\.0  AGE  447775123456  first\n)" + id +
                      "1  AGE  447775123456  a \\[2Jb  \\(refused 2 times\\)\n" + id +
                      "3  AGE  \\(not a valid request\\)  \\(failed: not a valid request\\)\n"
                      "4 queued, 1 failed\n")))
      << listed.out;
}

// Like postsuper: an admin puts a failed item back (refusals cleared, age from now) or
// removes one; the spool's modes decide who may (a member may not take root's item from the
// sticky new/), and an unknown ID is a usage error.
TEST_F(Queue, RequeueAndRemoveFollowTheSpoolsModes) {
  const std::string id = "001796639223.932658.0004718.1";
  installation.Run({"--queue", "447775123456,queued"});
  installation.dir.Lay("chmod 755 .; chgrp -R dialout spool; printf 447775123456,x >spool/failed/" +
                       id + ".refused; touch -d '2 days ago' spool/failed/" + id + ".refused");
  const Outcome requeued = installation.Run({"--requeue", id});
  EXPECT_EQ(requeued.out, "Quorvex: requeued " + id + "\n");
  const std::filesystem::path item = installation.dir.path() / "spool/new" / id;
  EXPECT_LT(std::filesystem::file_time_type::clock::now() - std::filesystem::last_write_time(item),
            std::chrono::hours(1));
  const Outcome denied =
      Started("/usr/bin/setpriv", {"--reuid=nobody", "--regid=dialout", "--clear-groups",
                                   installation.Program(), "--remove", id})
          .Wait();
  EXPECT_EQ(denied.status, 74);
  EXPECT_TRUE(denied.err.ends_with("/spool/new/" + id + ": Operation not permitted\n"));
  // Its history line, sent where the environment says (tests never reach the journal).
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  (installation.dir.path() / "history")
      .string()
      .copy(address.sun_path, sizeof address.sun_path - 1);
  const Fd logger(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(logger.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  ::setenv("QUORVEX_HISTORY_SOCKET", address.sun_path, 1);
  EXPECT_EQ(installation.Run({"--remove", id}).status, 0);
  ::setenv("QUORVEX_HISTORY_SOCKET", "/nonexistent/quorvex-test-history", 1);
  char line[512] = {};
  ASSERT_GT(::recv(logger.get(), line, sizeof line - 1, MSG_DONTWAIT), 0);
  EXPECT_TRUE(std::string(line).ends_with("]: queue: item " + id + " removed from new by root"));
  EXPECT_FALSE(std::filesystem::exists(item));
  EXPECT_EQ(installation.Run({"--remove", id}).err,
            "Quorvex: No item " + id + " in the queue - see Quorvex --list-queue\n");
}

// The Nagios plugin: OK, WARNING, CRITICAL and UNKNOWN as the guidelines have them; never
// CRITICAL because a delivery holds the line; and for a user outside dialout (Debian's
// nagios), what the last delivery of a drain recorded.
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
  installation.Run({"--queue", "447775123456,waits"});
  installation.dir.Lay(
      "chgrp -R nogroup spool; touch -d '2 minutes ago' spool/new/*; printf "
      "'delivery 1 0 0\\n' >spool/status");
  modem.reset();
  modem.emplace(installation, std::vector<std::string>{"--modem", "silent"});
  checked = Started(plugin, {"-w", "60", "-c", "600"}).Wait();
  EXPECT_EQ(checked.status, 2);
  EXPECT_TRUE(std::regex_match(
      checked.out, std::regex(R"(QUORVEX CRITICAL - 1 queued \(oldest 2m\), modem on COM2 \(\S+\) )"
                              R"(echoed the initialisation and gave no answer \| queued=1;;;0 )"
                              R"(oldest=1[2-9]\ds;60;600;0 failed=0;;;0\n)")))
      << checked.out;
  checked = Started("/usr/bin/setpriv", {"--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                         plugin, "-w", "60", "-c", "600"})
                .Wait();
  EXPECT_EQ(checked.status, 1) << checked.out;
  EXPECT_TRUE(checked.out.starts_with(
      "QUORVEX WARNING - 1 queued (oldest 2m), modem answered at the last delivery, "))
      << checked.out;
  installation.dir.Lay("chown nobody spool");
  checked = Started(plugin, {}).Wait();
  EXPECT_EQ(checked.status, 3);
  EXPECT_TRUE(checked.out.starts_with("QUORVEX UNKNOWN - cannot read the queue: Refusing spool"));
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
