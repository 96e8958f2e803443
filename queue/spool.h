#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/fd.h"

namespace quorvex {

// No alert comes near this; a larger item is a mistake or an attack.
inline constexpr size_t kLargestItem = 64 * 1024;
// "64 KiB", as notices and the listing say it.
std::string LargestItemText();
// After this many refusals by the service an item goes to failed/.
inline constexpr int kMostRefusals = 3;

// The folders of the spool. Callers write an item into tmp/ and rename it into new/, which
// every member of the queueing group writes. The drain takes each item at once into
// folders that only root writes, as postfix's pickup does: a copy of its own in waiting/,
// named by the drain; cur/ while it is delivered; failed/ when it cannot be.
enum class Folder { kTmp, kNew, kWaiting, kCur, kFailed };
// "tmp", "new", "waiting", "cur" or "failed".
std::string_view FolderName(Folder folder);
// Whether an opening may make the spool and its folders.
enum class SpoolOpening { kExisting, kCreate };

// An item's ID, which the drain gives it: "%012d.%06d.%010u", when the item arrived in new/
// (seconds and microseconds of the change time the kernel gave its rename there, which no
// writer sets) and the inode it arrived as, which no other item has at once.
std::string ItemIdOf(const timespec& arrived, ino_t inode);

// An item's name in waiting/ and cur/: its ID, then ".rN" once the service refused it N
// times. Only the drain makes these names.
struct ItemName {
  std::string id;
  int refusals = 0;
  std::time_t arrived = 0;  // from the ID
};
// The item a name of waiting/ or cur/ stands for; nothing for a name of any other form.
std::optional<ItemName> ParseItemName(std::string_view name);
std::string FileNameOf(const ItemName& item);
// Sorts names of waiting/ as a drain takes them: items refused fewer times first, then by
// arrival.
void SortInDeliveryOrder(std::vector<std::string>& names);

// Why an entry is in failed/: its name there is "ID.CODE".
struct FailedReason {
  std::string_view code;
  std::string_view text;  // as the listing shows it
};
// The two texts below say the limits: the compiler holds them to the numbers.
static_assert(kMostRefusals == 3 && kLargestItem == 64 * 1024);
inline constexpr FailedReason kFailedRefused{"refused", "refused by the service 3 times"};
inline constexpr FailedReason kFailedExpired{"expired", "older than MAXQUEUEHOURS"};
inline constexpr FailedReason kFailedInvalid{"invalid", "not a valid request"};
inline constexpr FailedReason kFailedUnsafe{"unsafe", "not a plain file of one link up to 64 KiB"};
inline constexpr FailedReason kFailedMisnamed{"misnamed", "a name not of the queue's form"};
// The reason an entry of failed/ names, and its ID (of the drain's form, or of an earlier
// version's, "%012d.%06d.%07d.%u"); nothing for a name of no known reason.
std::optional<std::pair<std::string, FailedReason>> ParseFailedName(std::string_view name);

// An item's request, or why the file under its name is no item.
struct ItemRead {
  std::string request;
  int error = 0;       // 0 for an item, else why it is none (WhyNoItem)
  timespec changed{};  // the kernel's change time: in new/, of its rename there

  ino_t inode = 0;
  // When it arrived: from its name in waiting/ and cur/, else its change time.
  std::time_t arrived = 0;
};

// Why an entry is no item, as the journal and the listing say it: EINVAL not a regular file,
// EMLINK a file with other links, EFBIG over kLargestItem, ESTALE swapped for another while it
// was opened, any other errno in the system's words.
std::string WhyNoItem(int error);

// The spool directory beside the executable: items are data from anyone allowed to queue,
// so they are opened without following links and without blocking, and taken only when
// they are regular files of one link and at most kLargestItem bytes. No move ever replaces
// what stands under the target name.
class Spool {
 public:
  // Opens DIR/spool and its folders through trusted links only, making what is missing: the
  // spool itself only for kCreate (2755), the folders (tmp/ and new/ 3770, for a group that
  // queues and whose group each item takes; waiting/, cur/ and failed/ 2750) whenever this
  // user may. The folders must have exactly those modes, or those without the set-group-ID
  // bit. Nothing when the spool is missing and not to be created.
  static std::optional<Spool> Open(const std::filesystem::path& exeDir, SpoolOpening opening);

  // Writes `request` as a new item and returns the ID the drain will give it, once the item
  // is safe on disk and the kernel's clock has passed its arrival (a few milliseconds), so
  // that an item queued after it arrives later: written into tmp/, synced, renamed into new/, and
  // new/ synced. A RunError means nothing was queued; an item a drain took before new/ was synced
  // counts as queued.
  std::string Add(std::string_view request) const;
  // The names in `folder` that do not begin with ".", sorted. Raises a RunError when the
  // folder cannot be read whole.
  std::vector<std::string> Names(Folder folder) const;
  // The request under `name`, or why it is no item: read without following a link or
  // blocking, from what was opened, and only when that is still an item.
  ItemRead Read(Folder folder, const std::string& name) const;
  // Takes `request`, read from `name` in `from`, into waiting/ as `id`: a copy of the drain's
  // own (0640 in the spool's group), synced, and only then the entry removed. Taking the
  // same entry twice (a drain that died between) keeps one copy. Returns 0 or the errno that
  // left the entry where it was.
  int Adopt(const std::string& request, const std::string& id, Folder from,
            const std::string& name) const;
  // Moves an item, named `as` in its new folder; returns 0 or the errno of the rename
  // (EEXIST where that name is taken, EACCES where this user may not).
  int Move(const std::string& name, Folder from, Folder to, const std::string& as) const;
  // Moves an entry to failed/ as "ID.CODE", its ID if it has one (else one from its change
  // time and inode) and that name is free, else a fresh one; returns 0 or the errno.
  int SetAside(const std::string& name, Folder from, const FailedReason& reason) const;
  // Returns 0 or the errno of the unlink.
  int Remove(const std::string& name, Folder folder) const;
  // Makes what `folder` holds now durable; returns 0 or the errno.
  int Sync(Folder folder) const;
  // The ID the entry `name` of `folder` goes by: in new/ the one the drain will give it; in
  // failed/ the one its name carries. Nothing for a name of no item.
  std::optional<std::string> IdOf(Folder folder, const std::string& name) const;
  // Whether `name` stands in `folder`.
  bool Holds(Folder folder, const std::string& name) const;
  // Removes what was left in tmp/ before `before` by writers that died; what cannot be
  // removed now is tried again by the next drain.
  void RemoveLeftovers(std::time_t before) const;
  // The small record of the modem's latest look (status_record.h), spool/status: replaced
  // whole, 0640 whatever the umask, in the spool's group (the spool is set-group-ID), so that
  // the queueing group (a monitoring user) reads it. Returns 0 or the errno; a record that
  // failed leaves the one before it.
  int Record(std::string_view text) const;
  // That record: 0 and its text, or the errno that kept it from being read (ENOENT when
  // there is none, EINVAL when it is no plain file, EFBIG when it holds over 4 KiB).
  struct Recording {
    int error = 0;
    std::string text;
  };
  Recording Recorded() const;
  // Holds the one drain of this spool while the result lives; not valid when another drain
  // holds it.
  Fd LockForDrain() const;
  const std::string& path() const { return path_; }
  // "SPOOL/FOLDER/NAME", as messages name an entry.
  std::string PathOf(Folder folder, const std::string& name) const;

 private:
  const Fd& Of(Folder folder) const;

  std::string path_;
  Fd spool_;
  Fd folders_[5];
};

}  // namespace quorvex
