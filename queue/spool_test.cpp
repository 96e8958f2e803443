#include "queue/spool.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/inotify.h>
#include <sys/stat.h>

#include "testing/test.h"

namespace quorvex {
namespace {

int ModeOf(const std::filesystem::path& path) {
  return static_cast<int>(std::filesystem::status(path).permissions());
}

// Made with exact modes whatever the umask (a group that queues must write tmp/ and new/,
// and the drain reads items through their group); a folder of other modes is refused. An
// item appears in new/ whole, and a spool behind a directory that is gone is no empty one.
TEST(Spool, HasExactModesWhateverTheUmaskAndRefusesOthers) {
  TestDir dir;
  EXPECT_EQ(Spool::Open(dir.path(), false), std::nullopt) << "missing, not to be made";
  const mode_t umask = ::umask(077);
  const Spool made = *Spool::Open(dir.path(), true);
  const Fd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ::inotify_add_watch(watch.get(), (dir.path() / "spool/new").c_str(), IN_CREATE | IN_MOVED_TO);
  const std::string name = made.Add("447775123456,hi");
  ::umask(umask);
  alignas(inotify_event) char event[sizeof(inotify_event) + NAME_MAX + 1];
  ASSERT_GT(::read(watch.get(), event, sizeof event), 0);
  EXPECT_EQ(reinterpret_cast<const inotify_event*>(event)->mask, IN_MOVED_TO);
  const std::filesystem::path spool = dir.path() / "spool";
  EXPECT_EQ(
      (std::vector{ModeOf(spool), ModeOf(spool / "tmp"), ModeOf(spool / "new"),
                   ModeOf(spool / "cur"), ModeOf(spool / "failed"), ModeOf(spool / "new" / name)}),
      (std::vector{02755, 03770, 03770, 0750, 0750, 0640}));
  dir.Lay("chmod 1777 spool/cur");
  EXPECT_EQ(RunErrorOf([&] { Spool::Open(dir.path(), false); }).description(),
            "Refusing spool folder " + (spool / "cur").string() + ": mode 1777, not 0750");
  dir.Lay("mkdir moved; ln -s gone/spool moved/spool");
  EXPECT_EQ(RunErrorOf([&] { Spool::Open(dir.path() / "moved", false); }).number(), ENOENT);
}

// Only names of the queue's own form are items: a name someone chose cannot pass for one.
TEST(ItemName, IsTheQueuesOwnFormOnly) {
  const std::string id = ItemIdOf({1796639223, 932658000}, 4718, 0);
  EXPECT_EQ(ItemIdOf({1, 99000}, 1, 7), "000000000001.000099.0000001.7") << "sorts as queued";
  EXPECT_EQ(ParseItemName(id + ".r2")->refusals, 2);
  for (const std::string& bad : {id + ".r3", id + ".x", "0" + id.substr(2), id + "\n", "a" + id}) {
    EXPECT_EQ(ParseItemName(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(ParseFailedName(id + ".refused")->second.text, kFailedRefused.text);
  EXPECT_EQ(ParseFailedName(id + ".r1.refused"), std::nullopt);
}

}  // namespace
}  // namespace quorvex
