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
// After this many refusals by the service an item goes to failed/.
inline constexpr int kMostRefusals = 3;

// The folders of the spool, as in a maildir: an item is written into tmp/ and renamed into
// new/, is moved to cur/ while it is delivered, and to failed/ when it cannot be.
enum class Folder { kTmp, kNew, kCur, kFailed };

// An item's name in the queue's own form: its ID ("%012d.%06d.%07d.%u": time, microseconds,
// process, counter), then ".rN" once the service refused it N times.
struct ItemName {
  std::string id;
  int refusals = 0;
};
// The ID of an item queued at `queuedAt` by `process`, its `counter`th.
std::string ItemIdOf(const timespec& queuedAt, pid_t process, unsigned counter);
// The item a name of new/ or cur/ stands for; nothing for a name of any other form.
std::optional<ItemName> ParseItemName(std::string_view name);
// The name an item goes by in new/ and cur/: its ID, then ".rN" after N refusals.
std::string FileNameOf(const ItemName& item);
// Sorts names of new/ as a drain takes them: entries that are no items first (setting them
// aside delays no one), then items refused fewer times, oldest first among equals.
void SortInDeliveryOrder(std::vector<std::string>& names);

// Why an entry is in failed/: its name there is "ID.CODE".
struct FailedReason {
  std::string_view code;
  std::string_view text;  // as the listing shows it
};
inline constexpr FailedReason kFailedRefused{"refused", "refused by the service 3 times"};
inline constexpr FailedReason kFailedExpired{"expired", "older than MAXQUEUEHOURS"};
inline constexpr FailedReason kFailedInvalid{"invalid", "not a valid request"};
inline constexpr FailedReason kFailedUnsafe{"unsafe", "not a plain file of one link up to 64 KiB"};
inline constexpr FailedReason kFailedMisnamed{"misnamed", "a name not of the queue's form"};
// The reason an entry of failed/ names, and its ID; nothing for a name of no known reason.
std::optional<std::pair<std::string, FailedReason>> ParseFailedName(std::string_view name);

// An item's request, or why the file under its name is no item.
struct ItemRead {
  std::string request;
  std::time_t queuedAt = 0;  // when it was written (its modification time)
  std::string problem;       // empty for an item
};

// The spool directory beside the executable: items are data from anyone allowed to queue,
// so they are opened without following links and without blocking, and taken only when
// they are regular files of one link and at most kLargestItem bytes. No move ever replaces
// what stands under the target name.
class Spool {
 public:
  // Opens DIR/spool and its folders through trusted links only; with `create`, makes what is
  // missing (the spool 2755; tmp/ and new/ 3770, for a group that queues and whose group
  // each item takes; cur/ and failed/ 0750). The folders must have exactly those modes (tmp/
  // and new/ may lack the set-group-ID bit). Nothing when the spool is missing and not to be
  // created.
  static std::optional<Spool> Open(const std::filesystem::path& exeDir, bool create);

  // Writes `request` as a new item and returns its name, once the item is safe on disk:
  // written into tmp/, synced, renamed into new/, and new/ synced. A RunError means nothing
  // was queued; an item a drain took before new/ was synced counts as queued.
  std::string Add(std::string_view request, int refusals = 0) const;
  // The names in `folder` that do not begin with ".", sorted.
  std::vector<std::string> Names(Folder folder) const;
  // The request under `name`, or why it is no item: read without following a link or
  // blocking, from what was opened, and only when that is still an item.
  ItemRead Read(Folder folder, const std::string& name) const;
  // Moves an item, named `as` in its new folder; returns 0 or the errno of the rename
  // (EEXIST where that name is taken, EACCES where this user may not).
  int Move(const std::string& name, Folder from, Folder to, const std::string& as) const;
  // Moves an entry to failed/ as "ID.CODE", its own ID if it has one and that name is free,
  // else a fresh one; returns 0 or the errno of the rename.
  int SetAside(const std::string& name, Folder from, const FailedReason& reason) const;
  // Returns 0 or the errno of the unlink.
  int Remove(const std::string& name, Folder folder) const;
  // Dates an entry now, so that its age counts from here; returns 0 or the errno.
  int Touch(const std::string& name, Folder folder) const;
  // Removes what was left in tmp/ before `before` by writers that died.
  void RemoveLeftovers(std::time_t before) const;
  // The small record of the modem's latest look (status_record.h), spool/status: replaced
  // whole, 0640 whatever the umask, in the spool's group (the spool is set-group-ID), so that
  // the queueing group (a monitoring user) reads it. Best effort: it informs, never decides.
  void Record(std::string_view text) const;
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
  Fd folders_[4];
};

}  // namespace quorvex
