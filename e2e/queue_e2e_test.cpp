#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>

#include <memory>

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

// Nothing queued is lost: not to a silent modem (the drain keeps every item and says 75),
// not to a drain killed mid-delivery (the next drain sends that item again), and the items
// go out in the order they were queued.
TEST_F(Queue, KeepsItemsThroughASilentModemAndAKilledDrain) {
  installation.Configure("ComPort=2\nSMSPhone=9,012345678\nMaxAttempts=1\n");
  std::optional<Simulator> modem(std::in_place, installation,
                                 std::vector<std::string>{"--modem", "silent"});
  for (const char* text : {"first", "second", "third"}) {
    const Outcome queued = installation.Run({"--queue", std::string("447775123456,") + text});
    EXPECT_EQ(queued.status, 0) << queued.err;
    EXPECT_TRUE(queued.out.starts_with("Quorvex: queued ")) << queued.out;
  }
  EXPECT_EQ(installation.Run({"--drain"}).status, 75);
  EXPECT_EQ(Waiting(), 3U);
  modem.reset();
  modem.emplace(installation, std::vector<std::string>{});
  Started killed(installation.Program(), {"--drain"});
  ASSERT_TRUE(modem->AwaitReceived("447775123456\r"));
  killed.Signal(SIGKILL);
  killed.Wait();
  // The delivery dies with its drain, and lets go of the installation.
  ASSERT_TRUE(installation.Await("ERROR: Stopped by signal SIGTERM"));
  const Fd log(::open((installation.dir.path() / "Quorvex.log").c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(Within(60, [&] {
    return ::flock(log.get(), LOCK_SH | LOCK_NB) == 0 && ::flock(log.get(), LOCK_UN) == 0;
  }));
  const Outcome drained = installation.Run({"--drain"});
  EXPECT_EQ(drained.status, 0) << drained.err;
  EXPECT_EQ(Waiting(), 0U);
  const std::string received = modem->StopAndCollectReceived();
  const size_t first = received.rfind("447775123456\rfirst\r");
  const size_t second = received.find("447775123456\rsecond\r");
  EXPECT_NE(first, std::string::npos) << received;
  EXPECT_LT(first, second);
  EXPECT_LT(second, received.find("447775123456\rthird\r"));
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
