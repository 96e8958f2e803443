#include "app/drain.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>

#include <functional>

#include "testing/run_harness.h"

namespace quorvex {
namespace {

using Names = std::vector<std::string>;

// Delivers by script: each call takes the next outcome (then 0), and may queue meanwhile.
class ScriptedRunner final : public DeliveryRunner {
 public:
  Delivered Deliver(const std::string& request) override {
    delivered.push_back(request);
    if (onFirst && delivered.size() == 1) {
      onFirst();
    }
    return next < outcomes.size() ? outcomes[next++] : Delivered{};
  }
  std::vector<Delivered> outcomes;
  size_t next = 0;
  std::function<void()> onFirst;
  Names delivered;
};

class Drain : public ::testing::Test {
 protected:
  int DrainWith(std::vector<Delivered> outcomes, int maxQueueHours = 24) {
    runner.outcomes = std::move(outcomes);
    runner.next = 0;
    return DrainSpool({spool, runner, history, std::time(nullptr), maxQueueHours});
  }

  TestDir dir;
  Spool spool = *Spool::Open(dir.path(), true);
  ScriptedRunner runner;
  RecordingHistory history;
};

// Oldest first, each once; a failing delivery stops the drain with that item back at the
// head and everything after it left for the next drain.
TEST_F(Drain, DeliversInQueueOrderAndStopsAtTheFirstFailure) {
  const Names items{spool.Add("447775123456,a"), spool.Add("447775123456,b"),
                    spool.Add("447775123456,c")};
  EXPECT_TRUE(std::is_sorted(items.begin(), items.end()));
  EXPECT_EQ(spool.Names(Folder::kTmp), Names{});
  EXPECT_EQ(DrainWith({{0, 0}, {75, 0}}), 75);
  EXPECT_EQ(runner.delivered, (Names{"447775123456,a", "447775123456,b"}));
  EXPECT_EQ(spool.Names(Folder::kNew), (Names{items[1], items[2]}));
  EXPECT_EQ(spool.Names(Folder::kCur), Names{});
  EXPECT_EQ(history.lines.back().first,
            "queue: item " + items[1] + " kept for the next drain; exit status 75");
  EXPECT_EQ(DrainWith({{78, 0}}), 78) << "someone must look";
  EXPECT_EQ(DrainWith({{0, 0}, {0, 0}}), 0);
  EXPECT_EQ(spool.Names(Folder::kNew), Names{});
  EXPECT_EQ(history.lines.at(0),
            (std::pair<std::string, int>{"queue: item " + items[0] + " delivered; exit status 0",
                                         LOG_INFO}));
}

// What was queued meanwhile goes out in the same drain; what a stopped drain left in cur/
// goes out first, again (at least once across a crash).
TEST_F(Drain, TakesNewItemsAndReturnsInterruptedOnes) {
  const std::string interrupted = spool.Add("447775123456,interrupted");
  ASSERT_EQ(spool.Move(interrupted, Folder::kNew, Folder::kCur), 0);
  spool.Add("447775123456,queued");
  runner.onFirst = [&] { spool.Add("447775123456,meanwhile"); };
  EXPECT_EQ(DrainWith({}), 0);
  EXPECT_EQ(runner.delivered,
            (Names{"447775123456,interrupted", "447775123456,queued", "447775123456,meanwhile"}));
  EXPECT_EQ(
      history.lines.at(0).first,
      "queue: item " + interrupted + " was being delivered when a drain stopped; queued again");
}

// A stop ends the drain with 128+N; the item stays queued unless the service had accepted it.
TEST_F(Drain, StopKeepsTheItemUnlessAccepted) {
  const std::string first = spool.Add("447775123456,a");
  EXPECT_EQ(DrainWith({{143, SIGTERM}}), 128 + SIGTERM);
  EXPECT_EQ(spool.Names(Folder::kNew), Names{first});
  EXPECT_EQ(DrainWith({{0, SIGTERM}}), 128 + SIGTERM);
  EXPECT_EQ(spool.Names(Folder::kNew), Names{});
}

// Anything that is no item, or too old to be worth sending, goes to failed/ untouched and
// never to the modem: links, hard links, FIFOs, oversize files, invalid requests.
TEST_F(Drain, SetsAsideWhatIsNoItemAndWhatIsStale) {
  dir.Lay(
      "cd spool/new; echo secret > ../../target; ln -s ../../target link; ln ../../target hard; "
      "mkfifo fifo; head -c 70000 /dev/zero > large; printf 44,x > invalid; "
      "printf 447775123456,old > old; touch -d '25 hours ago' old");
  EXPECT_EQ(DrainWith({}), 0);
  EXPECT_EQ(runner.delivered, Names{});
  EXPECT_EQ(spool.Names(Folder::kFailed),
            (Names{"fifo", "hard", "invalid", "large", "link", "old"}));
  EXPECT_EQ(dir.Read("target"), "secret\n");
  EXPECT_EQ(history.lines.at(0),
            (std::pair<std::string, int>{"queue: item fifo not a regular file; moved to failed",
                                         LOG_ERR}));
  EXPECT_EQ(history.lines.back().first, "queue: item old older than 24 hours; moved to failed");
  dir.Lay("printf 447775123456,old > spool/new/again; touch -d '25 hours ago' spool/new/again");
  EXPECT_EQ(DrainWith({}, 0), 0) << "0 hours: never too old";
  EXPECT_EQ(runner.delivered, Names{"447775123456,old"});
}

}  // namespace
}  // namespace quorvex
