#include "queue/spool.h"

#include <fcntl.h>
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
  EXPECT_EQ(Spool::Open(dir.path(), SpoolOpening::kExisting), std::nullopt)
      << "missing, not to be made";
  const mode_t umask = ::umask(077);
  const Spool made = *Spool::Open(dir.path(), SpoolOpening::kCreate);
  const Fd watch(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
  ::inotify_add_watch(watch.get(), (dir.path() / "spool/new").c_str(), IN_CREATE | IN_MOVED_TO);
  made.Add("447775123456,hi");
  ::umask(umask);
  alignas(inotify_event) char event[sizeof(inotify_event) + NAME_MAX + 1];
  ASSERT_GT(::read(watch.get(), event, sizeof event), 0);
  EXPECT_EQ(reinterpret_cast<const inotify_event*>(event)->mask, IN_MOVED_TO);
  const std::filesystem::path spool = dir.path() / "spool";
  EXPECT_EQ((std::vector{ModeOf(spool), ModeOf(spool / "tmp"), ModeOf(spool / "new"),
                         ModeOf(spool / "waiting"), ModeOf(spool / "cur"), ModeOf(spool / "failed"),
                         ModeOf(spool / "new" / made.Names(Folder::kNew).at(0))}),
            (std::vector{02755, 03770, 03770, 02750, 02750, 02750, 0640}));
  // Members could plant what the drain delivers: writable by all, or by the group alone.
  for (const std::string mode : {"3777", "3770"}) {
    dir.Lay("chmod " + mode + " spool/cur");
    EXPECT_EQ(
        RunErrorOf([&] { Spool::Open(dir.path(), SpoolOpening::kExisting); }).description(),
        "Refusing spool folder " + (spool / "cur").string() + ": mode " + mode + ", not 2750");
  }
  dir.Lay("mkdir moved; ln -s gone/spool moved/spool");
  EXPECT_EQ(
      RunErrorOf([&] { Spool::Open(dir.path() / "moved", SpoolOpening::kExisting); }).number(),
      ENOENT);
}

// The drain keeps a copy of its own under the ID the caller was told, which the kernel's clock
// has passed when the caller is told it: the writer's file is
// gone, so nothing she does to it reaches the item; a drain that died between the copy and
// the removal leaves one copy, not two; an entry that cannot be removed leaves none (every
// drain would deliver it again).
TEST(Spool, AdoptsACopyOfItsOwnUnderTheIdTheCallerWasTold) {
  TestDir dir;
  const Spool spool = *Spool::Open(dir.path(), SpoolOpening::kCreate);
  const std::string id = spool.Add("447775123456,hi");
  const std::string name = spool.Names(Folder::kNew).at(0);
  EXPECT_EQ(spool.IdOf(Folder::kNew, name), id);
  const ItemRead read = spool.Read(Folder::kNew, name);
  EXPECT_EQ(ItemIdOf(read.changed, read.inode), id);
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  EXPECT_GT(ItemIdOf(now, 0), id) << "what is queued next arrives later";
  const Fd writers(::open((dir.path() / "spool/new" / name).c_str(), O_WRONLY | O_CLOEXEC));
  ASSERT_EQ(spool.Adopt(read.request, id, Folder::kNew, name), 0);
  EXPECT_EQ(spool.Names(Folder::kNew), std::vector<std::string>{});
  EXPECT_EQ(::write(writers.get(), "0", 1), 1);
  EXPECT_EQ(dir.Read("spool/waiting/" + id), "447775123456,hi");
  EXPECT_EQ(ModeOf(dir.path() / "spool/waiting" / id), 0640);
  dir.Lay("echo 447775123456,hi >spool/new/again");
  ASSERT_EQ(spool.Adopt("447775123456,hi", id, Folder::kNew, "again"), 0);
  EXPECT_EQ(spool.Names(Folder::kWaiting), std::vector<std::string>{id});
  EXPECT_EQ(spool.Names(Folder::kNew), std::vector<std::string>{});
  dir.Lay("mkdir spool/new/stuck");
  EXPECT_EQ(spool.Adopt("447775123456,hi", ItemIdOf({1, 0}, 1), Folder::kNew, "stuck"), EISDIR);
  EXPECT_EQ(spool.Names(Folder::kWaiting), std::vector<std::string>{id});
}

// A folder this user may not read is an error, never an empty folder: the check would say
// "0 queued" while items wait.
TEST(Spool, AFolderThatCannotBeListedIsAnError) {
  TestDir dir;
  const Spool spool = *Spool::Open(dir.path(), SpoolOpening::kCreate);
  dir.Lay("chmod 0 spool/waiting");
  EXPECT_EQ(RunErrorWithoutRoot([&] { spool.Names(Folder::kWaiting); }), EACCES);
  dir.Lay("chmod 2750 spool/waiting");
}

// The record is replaced whole; one that cannot be written says why and leaves no part behind.
TEST(Spool, RecordIsReplacedWholeOrSaysWhyNot) {
  TestDir dir;
  const Spool spool = *Spool::Open(dir.path(), SpoolOpening::kCreate);
  EXPECT_EQ(spool.Record("delivery 1 0 0\n"), 0);
  EXPECT_EQ(spool.Record("delivery 2 0 0\n"), 0);
  EXPECT_EQ(spool.Recorded().text, "delivery 2 0 0\n");
  dir.Lay("rm spool/status; mkdir spool/status");
  EXPECT_EQ(spool.Record("delivery 3 0 0\n"), EISDIR);
  for (const auto& entry : std::filesystem::directory_iterator(dir.path() / "spool")) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".status")) << entry.path();
  }
}

// Only names of the drain's own form are items: a name someone chose cannot pass for one;
// failed/ also names the items of an earlier version.
TEST(ItemName, IsTheDrainsOwnFormOnly) {
  const std::string id = ItemIdOf({1796639223, 932658000}, 4718);
  EXPECT_EQ(id, "001796639223.932658.0000004718") << "sorts as it arrived";
  EXPECT_EQ(ParseItemName(id + ".r2")->refusals, 2);
  EXPECT_EQ(ParseItemName(id)->arrived, 1796639223);
  for (const std::string& bad : std::vector<std::string>{
           id + ".r3", id + ".x", "0" + id.substr(2), id + "\n", "a" + id, id.substr(0, 29),
           "001796639223.93265.0000004718", "001796639223.932658.0004718.0"}) {
    EXPECT_EQ(ParseItemName(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(ParseFailedName(id + ".refused")->second.text, kFailedRefused.text);
  EXPECT_EQ(ParseFailedName("001796639223.932658.0004718.0.expired")->first,
            "001796639223.932658.0004718.0");
  EXPECT_EQ(ParseFailedName(id + ".r1.refused"), std::nullopt);
}

}  // namespace
}  // namespace quorvex
