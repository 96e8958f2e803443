#include "queue/drain.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <syslog.h>

#include <algorithm>
#include <functional>

#include "testing/fakes.h"
#include "testing/test.h"

namespace quorvex {
namespace {

using Names = std::vector<std::string>;
using History = std::vector<std::pair<std::string, int>>;

// What a scripted delivery comes to, and whether it saw the acceptance (it then removes its
// item from cur/, as a real delivery does at that moment).
struct Scripted {
  Delivered delivered;
  bool accepted = false;
};
const Scripted kAccepted{{0, 0, Seen::kNothingMore}, true};
const Scripted kRefusal{{75, 0, Seen::kRefusal}};
const Scripted kLineFault{{75, 0, Seen::kNothingMore}};

// Delivers by script, 39 s each: each call takes the next outcome (then acceptance), and may
// change the spool meanwhile.
class ScriptedRunner final : public DeliveryRunner {
 public:
  ScriptedRunner(FakeClock& clock, const Spool& spool) : clock_(clock), spool_(spool) {}
  Delivered Deliver(const std::string& request, const std::string& id,
                    const std::string& name) override {
    delivered.push_back(request.substr(13));  // the message alone
    ids.push_back(id);
    clock_.SleepUntil(clock_.Now() + std::chrono::seconds(39));
    if (meanwhile) {
      std::exchange(meanwhile, nullptr)();
    }
    const Scripted outcome = next < outcomes.size() ? outcomes[next++] : kAccepted;
    if (outcome.accepted) {
      spool_.Remove(name, Folder::kCur);
    }
    return outcome.delivered;
  }
  std::vector<Scripted> outcomes;
  size_t next = 0;
  std::function<void()> meanwhile;
  Names delivered;
  Names ids;

 private:
  FakeClock& clock_;
  const Spool& spool_;
};

// The test's requests: the number and a text without NUL.
class TestRequests final : public RequestCheck {
 public:
  std::optional<std::string> RecipientOf(std::string_view request) const override {
    constexpr std::string_view kNumber = "447775123456";
    return request.starts_with(std::string(kNumber) + ",") &&
                   request.find('\0') == std::string_view::npos
               ? std::optional<std::string>(kNumber)
               : std::nullopt;
  }
};

class Drain : public ::testing::Test {
 protected:
  void SetUp() override { SetClockToNow(); }
  // A minute ahead: an item queued a second later than this is not dated ahead of the drain's
  // now, which would give it another ID than the one it was queued under.
  void SetClockToNow() { clock.SetWallTime(std::time(nullptr) + 60); }
  int DrainWith(std::vector<Scripted> outcomes, int maxQueueHours = 24) {
    runner.outcomes = std::move(outcomes);
    runner.next = 0;
    runner.delivered.clear();
    runner.ids.clear();
    const DrainEnd end = DrainSpool({spool, runner, requests, history, clock, maxQueueHours});
    left = end.left;
    return end.status;
  }
  std::string Queue(const std::string& message) { return spool.Add("447775123456," + message); }
  Names Waiting() const { return spool.Names(Folder::kWaiting); }

  TestDir dir;
  Spool spool = *Spool::Open(dir.path(), SpoolOpening::kCreate);
  FakeClock clock;
  ScriptedRunner runner{clock, spool};
  TestRequests requests;
  RecordingHistory history;
  std::string left;  // what the last drain told of the items it left
};

// By arrival, each once; a fault of the line stops the drain with that item back at the
// head and everything after it left for the next drain, in the drain's own folder.
TEST_F(Drain, DeliversInArrivalOrderAndStopsAtTheFirstFault) {
  const Names items{Queue("a"), Queue("b"), Queue("c")};
  EXPECT_EQ(DrainWith({kAccepted, kLineFault}), 75);
  EXPECT_EQ(runner.delivered, (Names{"a", "b"}));
  EXPECT_EQ(Waiting(), (Names{items[1], items[2]}));
  EXPECT_EQ(spool.Names(Folder::kNew), Names{});
  EXPECT_EQ(history.lines,
            (History{{"queue: item " + items[0] + " delivered; exit status 0", LOG_INFO},
                     {"queue: item " + items[1] + " kept for the next drain; exit status 75",
                      LOG_WARNING}}));
  EXPECT_EQ(left, "2 items wait in " + spool.path() + ": the delivery of " + items[1] +
                      " ended with exit status 75: the modem or the line, try again later");
  // Turned away by another run: nothing was tried, and the modem is not blamed.
  EXPECT_EQ(DrainWith({{{75, 0, Seen::kAnotherRun}}}), 75);
  EXPECT_EQ(history.lines.back().first, "queue: item " + items[1] +
                                            " kept for the next drain: another run is in "
                                            "progress; exit status 75");
  EXPECT_TRUE(left.ends_with(": another run is in progress"));
  EXPECT_EQ(DrainWith({{{78, 0, Seen::kRefusal}}}), 78)
      << "someone must look, whatever the service did";
  EXPECT_EQ(DrainWith({}), 0);
  EXPECT_EQ(Waiting(), Names{});
  EXPECT_EQ(left, "") << "a drain that emptied the queue is quiet";
}

// Nothing a member writes into new/ can jump the queue, jam or impersonate another's item:
// names and dates are hers, the order and the IDs the drain's. Her planted names beside an
// item being delivered are items of her own, and the real one goes out once.
TEST_F(Drain, NamesAndDatesInNewCannotReorderJamOrImpersonate) {
  const std::string first = Queue("first");
  dir.Lay(
      "cd spool/new; echo 447775123456,jumper >000000000001.000000.0000001.0; "
      "touch -d '2 hours ago' 000000000001.000000.0000001.0");
  EXPECT_EQ(DrainWith({kLineFault}), 75);
  EXPECT_EQ(runner.delivered, Names{"first"}) << "the earlier arrival goes first";
  runner.meanwhile = [&] {
    for (const std::string& name : {first, first + ".r1", first + ".r2"}) {
      dir.Write("spool/new/" + name, "447775123456,planted");
    }
  };
  EXPECT_EQ(DrainWith({kLineFault}), 75);
  EXPECT_EQ(DrainWith({}), 0);
  EXPECT_EQ(std::count(runner.delivered.begin(), runner.delivered.end(), "first"), 1);
  EXPECT_EQ(std::count(runner.delivered.begin(), runner.delivered.end(), "planted"), 3);
  EXPECT_EQ(spool.Names(Folder::kCur), Names{});
}

// Not accepted while the service accepted nothing else in the drain: the line or the
// service, never counted, so a line that drops every call fails no item. Once the service
// accepts another item (before or after), it counts as refused; the third sets it aside.
TEST_F(Drain, CountsARefusalOnlyWhenTheServiceAcceptsAnother) {
  const std::string refused = Queue("refused");
  for (int drain = 0; drain < 3; ++drain) {
    EXPECT_EQ(DrainWith({kRefusal}), 75);
  }
  EXPECT_EQ(Waiting(), Names{refused});
  EXPECT_EQ(history.lines.back().first,
            "queue: item " + refused +
                " not accepted by the service; counted as refused only if it accepts another "
                "item; exit status 75");
  Queue("b");
  EXPECT_EQ(DrainWith({kRefusal}), 75);
  EXPECT_EQ(runner.delivered, (Names{"refused", "b"}));
  EXPECT_EQ(Waiting(), Names{refused + ".r1"});
  EXPECT_EQ(history.lines.back(),
            (std::pair<std::string, int>{"queue: item " + refused +
                                             " refused by the service (1 of 3); queued behind the "
                                             "others; exit status 75",
                                         LOG_WARNING}));
  Queue("d");
  runner.meanwhile = [&] { Queue("e"); };
  EXPECT_EQ(DrainWith({kAccepted, kAccepted, kRefusal}), 75);
  EXPECT_EQ(runner.delivered, (Names{"d", "e", "refused"}));
  Queue("f");
  EXPECT_EQ(DrainWith({kAccepted, kRefusal}), 0);
  EXPECT_EQ(spool.Names(Folder::kFailed), Names{refused + ".refused"});
  EXPECT_EQ(history.lines.back(),
            (std::pair<std::string, int>{"queue: item " + refused +
                                             " for '447775123456' refused by the service 3 times; "
                                             "moved to failed",
                                         LOG_ERR}));
}

// What a stopped drain left in cur/ goes out first, again (at least once across a crash);
// an earlier version's spool (names of its own in new/, refusal counts, cur/) is taken over
// with nothing lost; an item the service accepted goes out once, even if its delivery or the
// drain is killed after the acceptance.
TEST_F(Drain, ReturnsInterruptedItemsTakesOverAnEarlierSpoolAndSendsNothingTwice) {
  const std::string interrupted = Queue("interrupted");
  ASSERT_EQ(DrainWith({kLineFault}), 75);
  ASSERT_EQ(spool.Move(interrupted, Folder::kWaiting, Folder::kCur, interrupted), 0);
  dir.Lay(
      "cd spool; printf 447775123456,old-cur >cur/001796639223.932658.0004718.0; "
      "printf 447775123456,old-r2 >new/001796639223.932658.0004718.1.r2; "
      "printf 447775123456,old-new >new/001796639223.932658.0004718.2");
  EXPECT_EQ(DrainWith({}), 0);
  ASSERT_EQ(runner.delivered.size(), 4U);
  EXPECT_EQ(runner.delivered[0], "interrupted");
  // Written within one tick of the kernel's clock, the earlier version's entries arrive
  // together and go in the order of their inodes, which the machine chooses.
  Names earlier(runner.delivered.begin() + 1, runner.delivered.end());
  std::sort(earlier.begin(), earlier.end());
  EXPECT_EQ(earlier, (Names{"old-cur", "old-new", "old-r2"}));
  EXPECT_EQ(
      history.lines.at(1).first,
      "queue: item " + interrupted + " was being delivered when a drain stopped; queued again");
  Queue("killed");
  Queue("stopped");
  EXPECT_EQ(DrainWith({{{128 + SIGKILL, 0, Seen::kNothingMore}, true},
                       {{0, SIGTERM, Seen::kNothingMore}, true}}),
            128 + SIGTERM);
  EXPECT_EQ(DrainWith({}), 0);
  EXPECT_EQ(runner.delivered, Names{}) << "nothing is sent twice";
}

// A stop ends the drain with 128+N: the item stays queued unless the service accepted it,
// and a stop that comes between deliveries is heard before the next entry, junk or not.
TEST_F(Drain, StopKeepsTheItemUnlessAcceptedAndIsHeardBeforeEachEntry) {
  const std::string first = Queue("a");
  EXPECT_EQ(DrainWith({{{143, SIGTERM, Seen::kNothingMore}}}), 128 + SIGTERM);
  EXPECT_EQ(Waiting(), Names{first});
  EXPECT_EQ(left, "") << "a stopped drain says nothing";
  runner.meanwhile = [&] {
    dir.Lay("cd spool/new; for i in $(seq 100); do touch junk$i; done");
    clock.StopAt(clock.Elapsed(), SIGTERM);
  };
  EXPECT_EQ(DrainWith({kAccepted}), 128 + SIGTERM);
  EXPECT_EQ(spool.Names(Folder::kNew).size(), 100U) << "the junk is left for the next drain";
}

// What is no item (links, hard links, FIFOs, over 64 KiB, invalid, a NUL, shown by name as
// printable ASCII) goes to failed/ untouched, never to the modem; the journal is not
// flooded, and exactly 64 KiB goes out.
TEST_F(Drain, SetsAsideWhatIsNoItemWithoutFlooding) {
  dir.Lay(R"sh(cd spool/new; echo secret >../../target; ln -s ../../target ID1
    ln ../../target ID2; mkfifo ID3; head -c 65537 /dev/zero >ID4; printf 44,x >ID5
    printf '447775123456,a\0b' >ID6; (printf 447775123456,; head -c 65523 /dev/zero | tr '\0' x) >ID7
    touch "$(printf 'forged\n9 queued\033[2J\233')"
    for i in $(seq 25); do touch j$i; done)sh");
  EXPECT_EQ(DrainWith({}), 0);
  EXPECT_EQ(runner.delivered, Names{std::string(65523, 'x')});
  EXPECT_EQ(dir.Read("target"), "secret\n");
  const Names failed = spool.Names(Folder::kFailed);
  EXPECT_EQ(failed.size(), 6U + 26);
  EXPECT_EQ(std::count_if(failed.begin(), failed.end(),
                          [](const std::string& name) { return name.ends_with(".unsafe"); }),
            4);
  EXPECT_EQ(history.lines.at(0),
            (std::pair<std::string, int>{"queue: item 'ID1' not a regular file; moved to failed",
                                         LOG_NOTICE}));
  EXPECT_EQ(history.lines.at(6).first,
            "queue: item 'forged?9 queued?[2J?' not a valid request; moved to failed");
  EXPECT_EQ(history.lines.size(), 22U);
  EXPECT_EQ(history.lines.back(),
            (std::pair<std::string, int>{"queue: 12 more entries set aside likewise", LOG_NOTICE}));
}

// Entries that could not be moved to failed/ (the folder is gone) are told as errors, and
// never counted among those set aside.
TEST_F(Drain, TellsEntriesThatCouldNotBeSetAsideApart) {
  dir.Lay("cd spool; for i in $(seq 25); do touch new/j$i; done; rmdir failed");
  EXPECT_EQ(DrainWith({}), 0);
  ASSERT_EQ(history.lines.size(), 21U);
  EXPECT_EQ(history.lines.front().second, LOG_ERR);
  EXPECT_EQ(history.lines.back(),
            (std::pair<std::string, int>{
                "queue: 5 more entries that could not be moved to failed likewise", LOG_ERR}));
}

// Age counts from the arrival the kernel saw, never ahead of the clock (no item is written
// again for that), and is checked just before each delivery (earlier ones take time). An
// item the drain cannot take in waits in new/ while the others go out. What a writer left
// in tmp/ goes after 36 hours.
TEST_F(Drain, AgeCountsFromArrivalAndAnItemNotTakenInDelaysNoOther) {
  const std::string a = Queue("a");
  const std::string b = Queue("b");
  dir.Lay("touch -d '37 hours ago' spool/tmp/left; touch spool/tmp/writing");
  clock.SetWallTime(std::time(nullptr) + 3000);
  runner.meanwhile = [&] { clock.SetWallTime(clock.WallTime() + 700); };
  EXPECT_EQ(DrainWith({}, 1), 0);
  EXPECT_EQ(runner.delivered, Names{"a"});
  EXPECT_EQ(spool.Names(Folder::kFailed), Names{b + ".expired"});
  EXPECT_EQ(spool.Names(Folder::kTmp), Names{"writing"});
  clock.SetWallTime(std::time(nullptr) - 86400);  // the clock set back a day
  Queue("ahead");
  EXPECT_EQ(DrainWith({}, 1), 0);
  EXPECT_EQ(runner.delivered, Names{"ahead"});
  EXPECT_LE(ParseItemName(runner.ids.at(0))->arrived, clock.WallTime()) << "never dated ahead";
  SetClockToNow();
  const std::string stuck = Queue("stuck");
  Queue("c");
  dir.Lay("mkdir spool/waiting/." + stuck);
  EXPECT_EQ(DrainWith({}, 1), 75);
  EXPECT_EQ(runner.delivered, Names{"c"});
  EXPECT_EQ(spool.Names(Folder::kNew).size(), 1U);
  EXPECT_EQ(Waiting(), Names{});
}

}  // namespace
}  // namespace quorvex
