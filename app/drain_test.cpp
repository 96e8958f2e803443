#include "app/drain.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <syslog.h>

#include <functional>

#include "testing/run_harness.h"

namespace quorvex {
namespace {

using Names = std::vector<std::string>;
using History = std::vector<std::pair<std::string, int>>;
const Delivered kAccepted{0, 0, Seen::kNothingMore};
const Delivered kRefusal{75, 0, Seen::kRefusal};

// Delivers by script, 39 s each: each call takes the next outcome (then 0), and may change
// the spool meanwhile.
class ScriptedRunner final : public DeliveryRunner {
 public:
  explicit ScriptedRunner(FakeClock& clock) : clock_(clock) {}
  Delivered Deliver(const std::string& request, const std::string&) override {
    delivered.push_back(request.substr(13));  // the message alone
    clock_.SleepUntil(clock_.Now() + std::chrono::seconds(39));
    if (meanwhile) {
      std::exchange(meanwhile, nullptr)();
    }
    return next < outcomes.size() ? outcomes[next++] : kAccepted;
  }
  std::vector<Delivered> outcomes;
  size_t next = 0;
  std::function<void()> meanwhile;
  Names delivered;

 private:
  FakeClock& clock_;
};

class Drain : public ::testing::Test {
 protected:
  void SetUp() override { clock.SetWallTime(std::time(nullptr)); }
  int DrainWith(std::vector<Delivered> outcomes, int maxQueueHours = 24) {
    runner.outcomes = std::move(outcomes);
    runner.next = 0;
    runner.delivered.clear();
    notices.said.clear();
    return DrainSpool({spool, runner, history, notices, clock, maxQueueHours});
  }
  std::string Queue(const std::string& message, const std::string& dated = "") {
    const std::string name = spool.Add("447775123456," + message);
    if (!dated.empty()) {
      dir.Lay("touch -d '" + dated + "' spool/new/" + name);
    }
    return name;
  }

  TestDir dir;
  Spool spool = *Spool::Open(dir.path(), true);
  FakeClock clock;
  ScriptedRunner runner{clock};
  RecordingHistory history;
  RecordingNotices notices;
};

// Oldest first, each once; a fault of the line stops the drain with that item back at the
// head and everything after it left for the next drain.
TEST_F(Drain, DeliversInQueueOrderAndStopsAtTheFirstFault) {
  const Names items{Queue("a"), Queue("b"), Queue("c")};
  EXPECT_EQ(DrainWith({kAccepted, {75, 0, Seen::kNothingMore}}), 75);
  EXPECT_EQ(runner.delivered, (Names{"a", "b"}));
  EXPECT_EQ(spool.Names(Folder::kNew), (Names{items[1], items[2]}));
  EXPECT_EQ(history.lines,
            (History{{"queue: item " + items[0] + " delivered; exit status 0", LOG_INFO},
                     {"queue: item " + items[1] + " kept for the next drain; exit status 75",
                      LOG_WARNING}}));
  EXPECT_EQ(notices.said, std::vector<std::string>{
                              "2 items wait in " + spool.path() + ": the delivery of " + items[1] +
                              " ended with exit status 75: the modem or the line, try "
                              "again later"});
  // Turned away by another run: nothing was tried, and the modem is not blamed.
  EXPECT_EQ(DrainWith({{75, 0, Seen::kAnotherRun}}), 75);
  EXPECT_EQ(history.lines.back().first, "queue: item " + items[1] +
                                            " kept for the next drain: another run is in "
                                            "progress; exit status 75");
  EXPECT_TRUE(notices.said.back().ends_with(": another run is in progress"));
  EXPECT_EQ(DrainWith({{78, 0, Seen::kRefusal}}), 78)
      << "someone must look, whatever the service did";
  EXPECT_EQ(DrainWith({}), 0);
  EXPECT_EQ(spool.Names(Folder::kNew), Names{});
  EXPECT_EQ(notices.said, std::vector<std::string>{}) << "a drain that emptied the queue is quiet";
}

// The service refuses one message (a wrong number): the others go out all the same, the
// refused item waits behind every item not refused, and its third refusal sets it aside.
TEST_F(Drain, ARefusedItemWaitsBehindTheOthersAndFailsAtItsThird) {
  const std::string refused = Queue("refused");
  Queue("b");
  EXPECT_EQ(DrainWith({kRefusal}), 75);
  EXPECT_EQ(runner.delivered, (Names{"refused", "b"}));
  EXPECT_EQ(spool.Names(Folder::kNew), Names{refused + ".r1"});
  EXPECT_EQ(history.lines.at(0),
            (std::pair<std::string, int>{"queue: item " + refused +
                                             " refused by the service (1 of 3); queued behind the "
                                             "others; exit status 75",
                                         LOG_WARNING}));
  Queue("d");
  runner.meanwhile = [&] { Queue("e"); };
  EXPECT_EQ(DrainWith({kAccepted, kAccepted, kRefusal}), 75);
  EXPECT_EQ(runner.delivered, (Names{"d", "e", "refused"}));
  EXPECT_EQ(DrainWith({kRefusal}), 0);
  EXPECT_EQ(spool.Names(Folder::kFailed), Names{refused + ".refused"});
  EXPECT_EQ(history.lines.back(),
            (std::pair<std::string, int>{"queue: item " + refused +
                                             " for '447775123456' refused by the service 3 times; "
                                             "moved to failed",
                                         LOG_ERR}));
}

// What a stopped drain left in cur/ goes out first, again (at least once across a crash); an
// item that cannot be taken (its name is taken in cur/) is left for another drain, once.
TEST_F(Drain, ReturnsInterruptedItemsAndLeavesWhatItCannotTake) {
  const std::string interrupted = Queue("interrupted");
  ASSERT_EQ(spool.Move(interrupted, Folder::kNew, Folder::kCur, interrupted), 0);
  Queue("queued");
  EXPECT_EQ(DrainWith({}), 0);
  EXPECT_EQ(runner.delivered, (Names{"interrupted", "queued"}));
  EXPECT_EQ(
      history.lines.at(0).first,
      "queue: item " + interrupted + " was being delivered when a drain stopped; queued again");
  const std::string stuck = Queue("stuck");
  dir.Lay("touch spool/cur/" + stuck);
  EXPECT_EQ(DrainWith({}), 75);
  EXPECT_EQ(runner.delivered, Names{});
  EXPECT_EQ(history.lines.back().first,
            "queue: item " + stuck +
                " cannot be taken for delivery (File exists); left for another drain");
}

// A stop ends the drain with 128+N: the item stays queued unless the service accepted it,
// and a stop that comes between deliveries is heard before the next entry, junk or not.
TEST_F(Drain, StopKeepsTheItemUnlessAcceptedAndIsHeardBeforeEachEntry) {
  const std::string first = Queue("a");
  EXPECT_EQ(DrainWith({{143, SIGTERM, Seen::kNothingMore}}), 128 + SIGTERM);
  EXPECT_EQ(spool.Names(Folder::kNew), Names{first});
  runner.meanwhile = [&] {
    dir.Lay("cd spool/new; for i in $(seq 100); do touch junk$i; done");
    clock.StopAt(clock.Elapsed(), SIGTERM);
  };
  EXPECT_EQ(DrainWith({kAccepted}), 128 + SIGTERM);
  EXPECT_EQ(spool.Names(Folder::kNew).size(), 100U) << "the junk is left for the next drain";
}

// What is no item (links, hard links, FIFOs, over 64 KiB, invalid, a NUL, names not of the
// queue's form, shown as printable ASCII) goes to failed/ untouched, never to the modem;
// failed/ keeps what it holds, the journal is not flooded, and exactly 64 KiB goes out.
TEST_F(Drain, SetsAsideWhatIsNoItemWithoutOverwritingOrFlooding) {
  const std::string id = "000000000001.000000.0000001.";
  dir.Lay(ReplaceAll(R"sh(cd spool/new; echo secret >../../target; ln -s ../../target ID1
    ln ../../target ID2; mkfifo ID3; head -c 65537 /dev/zero >ID4; printf 44,x >ID5
    printf '447775123456,a\0b' >ID6; (printf 447775123456,; head -c 65523 /dev/zero | tr '\0' x) >ID7
    touch "$(printf 'forged\n9 queued\033[2J\233')" ../failed/ID5.invalid
    for i in $(seq 25); do touch j$i; done)sh",
                     "ID", id));
  EXPECT_EQ(DrainWith({}), 0);
  EXPECT_EQ(runner.delivered, Names{std::string(65523, 'x')});
  EXPECT_EQ(dir.Read("target"), "secret\n");
  const Names failed = spool.Names(Folder::kFailed);
  EXPECT_EQ(failed.size(), 1U + 6 + 26);
  EXPECT_EQ(dir.Read("spool/failed/" + id + "5.invalid"), "") << "the earlier entry is kept";
  EXPECT_EQ(Names(failed.begin(), failed.begin() + 6),
            (Names{id + "1.unsafe", id + "2.unsafe", id + "3.unsafe", id + "4.unsafe",
                   id + "5.invalid", id + "6.invalid"}));
  EXPECT_EQ(
      history.lines.at(0).first,
      "queue: item 'forged?9 queued?[2J?' has a name not of the queue's form; moved to failed");
  EXPECT_EQ(history.lines.size(), 22U);
  EXPECT_EQ(history.lines.back().first, "queue: 12 more entries of new set aside likewise");
}

// Age is what the queue saw: checked just before each delivery (earlier ones take time),
// and an item dated ahead of the clock is queued afresh so that it ages like any other.
// What a writer left in tmp/ goes after 36 hours.
TEST_F(Drain, AgeCountsFromWhatTheQueueSawAndIsCheckedBeforeEachDelivery) {
  Queue("fresh", "50 minutes ago");
  const std::string old = Queue("old", "3590 seconds ago");
  const std::string ahead = Queue("ahead", "tomorrow");
  dir.Lay("touch -d '37 hours ago' spool/tmp/left; touch spool/tmp/writing");
  EXPECT_EQ(DrainWith({}, 1), 0);
  EXPECT_EQ(runner.delivered, (Names{"fresh", "ahead"}));
  EXPECT_EQ(spool.Names(Folder::kFailed), Names{old + ".expired"});
  EXPECT_EQ(spool.Names(Folder::kTmp), Names{"writing"});
  EXPECT_TRUE(history.lines.at(2).first.starts_with(
      "queue: item " + ahead + " is dated ahead of the clock; queued again as "));
  Queue("old", "25 hours ago");
  EXPECT_EQ(DrainWith({}, 0), 0) << "0 hours: never too old";
  EXPECT_EQ(runner.delivered, Names{"old"});
}

}  // namespace
}  // namespace quorvex
