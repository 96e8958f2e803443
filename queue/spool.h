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

// The folders of the spool, as in a maildir: an item is written into tmp/ and renamed into
// new/, is moved to cur/ while it is delivered, and to failed/ when it cannot be.
enum class Folder { kTmp, kNew, kCur, kFailed };

// An item's request, or why the file under its name is no item.
struct ItemRead {
  std::string request;
  std::time_t queuedAt = 0;  // when it was written (its modification time)
  std::string problem;       // empty for an item
};

// The spool directory beside the executable: items are data from anyone allowed to queue,
// so they are opened without following links and without blocking, and taken only when
// they are regular files of one link and at most kLargestItem bytes.
class Spool {
 public:
  // Opens DIR/spool and its folders through trusted links only; with `create`, makes what is
  // missing (the spool 0755; tmp/ and new/ 1770, for a group that queues; cur/ and failed/
  // 0750). Nothing when the spool is missing and not to be created.
  static std::optional<Spool> Open(const std::filesystem::path& exeDir, bool create);

  // Writes `request` as a new item and returns its name, once the item is safe on disk:
  // written into tmp/, synced, renamed into new/, and new/ synced.
  std::string Add(std::string_view request);
  // The names in `folder`, in queueing order.
  std::vector<std::string> Names(Folder folder) const;
  ItemRead Read(Folder folder, const std::string& name) const;
  // Moves an item; returns 0 or the errno of the rename (EACCES where this user may not).
  int Move(const std::string& name, Folder from, Folder to) const;
  void Remove(const std::string& name, Folder folder) const;
  // Holds the one drain of this spool while the result lives; not valid when another drain
  // holds it.
  Fd LockForDrain() const;
  const std::string& path() const { return path_; }

 private:
  const Fd& Of(Folder folder) const;

  std::string path_;
  Fd spool_;
  Fd folders_[4];
};

}  // namespace quorvex
