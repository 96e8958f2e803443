#include "queue/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/io.h"
#include "base/run_error.h"
#include "base/trusted_open.h"

namespace quorvex {
namespace {

struct FolderSpec {
  const char* name;
  mode_t mode;
};
// tmp/ and new/ are sticky: a member of the group adds items but cannot take another's; and
// set-group-ID, so that every item takes the spool's group, which the drain reads with.
// waiting/, cur/ and failed/ are the drain's own: only root writes them, and the group lists
// and reads them; set-group-ID, so that the drain's copies take the group (the drain's
// sandbox allows no chown).
constexpr FolderSpec kFolders[] = {
    {"tmp", 03770}, {"new", 03770}, {"waiting", 02750}, {"cur", 02750}, {"failed", 02750}};
constexpr FailedReason kReasons[] = {kFailedRefused, kFailedExpired, kFailedInvalid, kFailedUnsafe,
                                     kFailedMisnamed};

// A name for new/ that no other writer picks at once; it means nothing to the drain.
std::string UniqueName() {
  static std::atomic<unsigned> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  char name[80];
  std::snprintf(name, sizeof name, "%lld.%09ld.%d.%u", static_cast<long long>(now.tv_sec),
                now.tv_nsec, static_cast<int>(::getpid()), counter++);
  return name;
}

// The kernel stamps a change from its coarse clock, in ticks of a few milliseconds: once that
// clock has passed an item's stamp, whatever is queued next is stamped later, so items queued
// one after the other are told apart by the kernel's stamps alone.
void AwaitTheNextTick(const timespec& stamped) {
  for (timespec now{}; ::clock_gettime(CLOCK_REALTIME_COARSE, &now) == 0 &&
                       (now.tv_sec < stamped.tv_sec ||
                        (now.tv_sec == stamped.tv_sec && now.tv_nsec <= stamped.tv_nsec));) {
    const timespec pause{0, 1'000'000};
    ::nanosleep(&pause, nullptr);
  }
}

// Why a file of this kind is no item, as WhyNoItem tells the errno; 0 if it may be one.
int ItemDoubt(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) {
    return EINVAL;
  }
  if (info.st_nlink != 1) {
    return EMLINK;
  }
  return static_cast<uintmax_t>(info.st_size) > kLargestItem ? EFBIG : 0;
}

bool AllDigits(std::string_view text, size_t fewest, size_t most) {
  return text.size() >= fewest && text.size() <= most &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A folder made by mistake with other modes (cur/ world-writable, say) would let others
// plant what the drain then delivers.
void RequireMode(const Fd& folder, mode_t wanted, const std::string& path) {
  struct stat info {};
  if (::fstat(folder.get(), &info) != 0) {
    throw LastOsError([&] { return "Cannot examine spool folder " + path; });
  }
  const mode_t mode = info.st_mode & 07777;
  // An earlier version made the folders without the set-group-ID bit.
  if (mode != wanted && mode != (wanted & ~mode_t{02000})) {
    char text[64];
    std::snprintf(text, sizeof text, ": mode %04o, not %04o", static_cast<unsigned>(mode),
                  static_cast<unsigned>(wanted));
    throw RunError(EPERM, "Refusing spool folder " + path + text);
  }
}

}  // namespace

std::string LargestItemText() {
  return std::to_string(kLargestItem / 1024) + " KiB";
}

// Time, then inode, each padded: names sort in the order of arrival.
std::string ItemIdOf(const timespec& arrived, ino_t inode) {
  char id[64];
  std::snprintf(id, sizeof id, "%012lld.%06ld.%010llu", static_cast<long long>(arrived.tv_sec),
                arrived.tv_nsec / 1000, static_cast<unsigned long long>(inode));
  return id;
}

namespace {

std::vector<std::string_view> Fields(std::string_view name) {
  std::vector<std::string_view> fields;
  for (size_t start = 0; start <= name.size() && fields.size() < 6;) {
    const size_t end = std::min(name.find('.', start), name.size());
    fields.push_back(name.substr(start, end - start));
    start = end + 1;
  }
  return fields;
}

// The drain's IDs have three fields; an earlier version's, left in failed/, four.
bool IsId(const std::vector<std::string_view>& fields, size_t count) {
  return count <= fields.size() && AllDigits(fields[0], 12, 12) && AllDigits(fields[1], 6, 6) &&
         (count == 3 ? AllDigits(fields[2], 10, 20)
                     : AllDigits(fields[2], 7, 10) && AllDigits(fields[3], 1, 10));
}

std::time_t SecondsOf(std::string_view id) {
  std::time_t seconds = 0;
  for (const char digit : id.substr(0, 12)) {
    seconds = seconds * 10 + (digit - '0');
  }
  return seconds;
}

// Only the drain's own folders name items by their IDs; elsewhere a name means nothing.
std::optional<ItemName> DrainsItemName(Folder folder, std::string_view name) {
  return folder == Folder::kWaiting || folder == Folder::kCur ? ParseItemName(name) : std::nullopt;
}

}  // namespace

std::optional<ItemName> ParseItemName(std::string_view name) {
  const std::vector<std::string_view> fields = Fields(name);
  if ((fields.size() != 3 && fields.size() != 4) || !IsId(fields, 3)) {
    return std::nullopt;
  }
  const std::string_view id = name.substr(0, std::min(name.size(), name.rfind(".r")));
  if (fields.size() == 3) {
    return ItemName{std::string(name), 0, SecondsOf(name)};
  }
  const std::string_view count = fields[3];
  if (count.size() != 2 || count[0] != 'r' || count[1] < '1' || count[1] >= '0' + kMostRefusals) {
    return std::nullopt;
  }
  return ItemName{std::string(id), count[1] - '0', SecondsOf(name)};
}

std::string_view FolderName(Folder folder) {
  return kFolders[static_cast<size_t>(folder)].name;
}

std::string FileNameOf(const ItemName& item) {
  return item.refusals == 0 ? item.id : item.id + ".r" + std::to_string(item.refusals);
}

void SortInDeliveryOrder(std::vector<std::string>& names) {
  const auto refusals = [](const std::string& name) {
    const std::optional<ItemName> item = ParseItemName(name);
    return item ? item->refusals : -1;
  };
  std::sort(names.begin(), names.end());
  std::stable_sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
    return refusals(a) < refusals(b);
  });
}

std::optional<std::pair<std::string, FailedReason>> ParseFailedName(std::string_view name) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    return std::nullopt;
  }
  const std::string_view id = name.substr(0, dot);
  const std::vector<std::string_view> fields = Fields(id);
  const bool known =
      (fields.size() == 3 && IsId(fields, 3)) || (fields.size() == 4 && IsId(fields, 4));
  for (const FailedReason& reason : kReasons) {
    if (known && name.substr(dot + 1) == reason.code) {
      return std::pair{std::string(id), reason};
    }
  }
  return std::nullopt;
}

std::optional<Spool> Spool::Open(const std::filesystem::path& exeDir, SpoolOpening opening) {
  const bool create = opening == SpoolOpening::kCreate;
  Spool spool;
  // Set-group-ID: the record made there takes the spool's group, which the drain could not
  // give it by chown in its sandbox.
  OpenedFile top = OpenTrustedDirectory(exeDir, "spool", create ? 02755 : 0, "spool");
  spool.path_ = top.reached;
  if (!top.fd.valid() && top.error == ENOENT && !top.missingDirectory && !create) {
    return std::nullopt;
  }
  if (!top.fd.valid()) {
    throw OsError(top.error, "Cannot open spool " + (exeDir / "spool").string());
  }
  spool.spool_ = std::move(top.fd);
  for (size_t i = 0; i < std::size(kFolders); ++i) {
    const std::string name = std::string("spool/") + kFolders[i].name;
    const std::string path = spool.path_ + "/" + kFolders[i].name;
    // A folder an earlier version did not have is made by whoever may (the drain).
    OpenedFile folder = OpenTrustedDirectory(exeDir, name, kFolders[i].mode, "spool");
    if (!folder.fd.valid()) {
      throw OsError(folder.error, "Cannot open spool folder " + path);
    }
    RequireMode(folder.fd, kFolders[i].mode, path);
    spool.folders_[i] = std::move(folder.fd);
  }
  return spool;
}

std::string Spool::Add(std::string_view request) const {
  const std::string name = UniqueName();
  const std::string file = PathOf(Folder::kTmp, name);
  Fd item(::openat(Of(Folder::kTmp).get(), name.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
  if (!item.valid()) {
    throw LastOsError([&] { return "Cannot create " + file; });
  }
  // Whatever the umask: the drain reads items through their group.
  int error = ::fchmod(item.get(), 0640) == 0 ? WriteAll(item.get(), request) : errno;
  // Synced before the rename: after a crash new/ holds whole items only. (A failing disk
  // alone shows the error path, so it is kept by review.)
  error = error == 0 && ::fsync(item.get()) != 0 ? errno : error;
  error = error == 0 ? Move(name, Folder::kTmp, Folder::kNew, name) : error;
  if (error != 0) {
    Remove(name, Folder::kTmp);
    throw OsError(error, "Cannot queue " + file);
  }
  // Not durable until new/ is synced: taken back, unless a drain has already taken it.
  if (const int syncError = Sync(Folder::kNew)) {
    if (Remove(name, Folder::kNew) != ENOENT) {
      throw OsError(syncError, "Cannot sync " + path_ + "/new");
    }
  }
  // The rename into new/ set the change time the drain reads, unless it has taken it since.
  struct stat arrived {};
  if (::fstat(item.get(), &arrived) != 0) {
    throw LastOsError([&] { return "Cannot examine " + PathOf(Folder::kNew, name); });
  }
  AwaitTheNextTick(arrived.st_ctim);
  return ItemIdOf(arrived.st_ctim, arrived.st_ino);
}

std::vector<std::string> Spool::Names(Folder folder) const {
  std::vector<std::string> names;
  const int fd = ::openat(Of(folder).get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    Fd unused(fd);
    throw LastOsError([&] { return "Cannot list " + path_; });
  }
  errno = 0;
  for (const dirent* entry; (entry = ::readdir(listing)) != nullptr; errno = 0) {
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name);
    }
  }
  const int error = errno;
  ::closedir(listing);
  // A listing cut short would pass for the whole queue.
  if (error != 0) {
    throw OsError(error, "Cannot list " + path_);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string WhyNoItem(int error) {
  switch (error) {
    case EINVAL:
      return "not a regular file";
    case EMLINK:
      return "a file with other links";
    case EFBIG:
      return "larger than " + LargestItemText();
    case ESTALE:
      return "changed while it was opened";
    default:
      return std::string("cannot be read (") + std::strerror(error) + ")";
  }
}

ItemRead Spool::Read(Folder folder, const std::string& name) const {
  ItemRead read;
  struct stat info {};
  if (::fstatat(Of(folder).get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    read.error = errno;
    return read;
  }
  read.error = ItemDoubt(info);
  const Fd item(read.error == 0
                    ? ::openat(Of(folder).get(), name.c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)
                    : -1);
  if (read.error == 0 && !item.valid()) {
    read.error = errno;
  } else if (read.error == 0 && (::fstat(item.get(), &info) != 0 || ItemDoubt(info) != 0)) {
    read.error = ESTALE;  // checked again on what was opened: the name may have been swapped
  } else if (read.error == 0) {
    read.error = ReadAtMost(item.get(), kLargestItem, read.request);
    read.error = read.error == 0 && read.request.size() > kLargestItem ? EFBIG : read.error;
  }
  if (read.error != 0) {
    read.request.clear();
  }
  read.changed = info.st_ctim;
  read.inode = info.st_ino;
  const std::optional<ItemName> itemName = DrainsItemName(folder, name);
  read.arrived = itemName ? itemName->arrived : info.st_ctime;
  return read;
}

int Spool::Adopt(const std::string& request, const std::string& id, Folder from,
                 const std::string& name) const {
  const int waiting = Of(Folder::kWaiting).get();
  const std::string made = "." + id;
  ::unlinkat(waiting, made.c_str(), 0);  // what a drain that died here left
  const Fd copy(
      ::openat(waiting, made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
  int error = copy.valid() ? 0 : errno;
  error = error == 0 && ::fchmod(copy.get(), 0640) != 0 ? errno : error;
  error = error == 0 ? WriteAll(copy.get(), request) : error;
  error = error == 0 && ::fsync(copy.get()) != 0 ? errno : error;
  if (error == 0 &&
      ::renameat2(waiting, made.c_str(), waiting, id.c_str(), RENAME_NOREPLACE) != 0) {
    error = errno == EEXIST ? 0 : errno;  // taken before by a drain that died before the removal
  }
  ::unlinkat(waiting, made.c_str(), 0);
  error = error == 0 ? Sync(Folder::kWaiting) : error;
  // An entry already gone was taken by another drain, or removed by its writer.
  if (const int removed = error == 0 ? Remove(name, from) : 0; removed != ENOENT) {
    error = error == 0 ? removed : error;
  }
  if (error != 0) {
    Remove(id, Folder::kWaiting);
  }
  return error;
}

int Spool::Move(const std::string& name, Folder from, Folder to, const std::string& as) const {
  return ::renameat2(Of(from).get(), name.c_str(), Of(to).get(), as.c_str(), RENAME_NOREPLACE) == 0
             ? 0
             : errno;
}

int Spool::SetAside(const std::string& name, Folder from, const FailedReason& reason) const {
  struct stat info {};
  if (::fstatat(Of(from).get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno;
  }
  const std::optional<ItemName> item = DrainsItemName(from, name);
  std::string id = item ? item->id : ItemIdOf(info.st_ctim, info.st_ino);
  for (int tries = 1;; ++tries) {
    const int error = Move(name, from, Folder::kFailed, id + "." + std::string(reason.code));
    if (error != EEXIST || tries == 3) {
      return error;
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    id = ItemIdOf(now, info.st_ino);
  }
}

int Spool::Remove(const std::string& name, Folder folder) const {
  return ::unlinkat(Of(folder).get(), name.c_str(), 0) == 0 ? 0 : errno;
}

int Spool::Sync(Folder folder) const {
  return ::fsync(Of(folder).get()) == 0 ? 0 : errno;
}

std::optional<std::string> Spool::IdOf(Folder folder, const std::string& name) const {
  struct stat info {};
  if (folder == Folder::kFailed) {
    const auto failed = ParseFailedName(name);
    return failed ? std::optional(failed->first) : std::nullopt;
  }
  if (folder == Folder::kWaiting || folder == Folder::kCur) {
    const std::optional<ItemName> item = ParseItemName(name);
    return item ? std::optional(item->id) : std::nullopt;
  }
  if (::fstatat(Of(folder).get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return ItemIdOf(info.st_ctim, info.st_ino);
}

bool Spool::Holds(Folder folder, const std::string& name) const {
  struct stat info {};
  return ::fstatat(Of(folder).get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

void Spool::RemoveLeftovers(std::time_t before) const {
  for (const std::string& name : Names(Folder::kTmp)) {
    struct stat info {};
    if (::fstatat(Of(Folder::kTmp).get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        info.st_mtime < before) {
      Remove(name, Folder::kTmp);
    }
  }
}

int Spool::Record(std::string_view text) const {
  const std::string made = ".status." + std::to_string(::getpid());
  ::unlinkat(spool_.get(), made.c_str(), 0);  // what a killed drain of this PID left
  const Fd file(::openat(spool_.get(), made.c_str(),
                         O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
  int error = file.valid() ? 0 : errno;
  error = error == 0 && ::fchmod(file.get(), 0640) != 0 ? errno : error;
  error = error == 0 ? WriteAll(file.get(), text) : error;
  error = error == 0 && ::renameat(spool_.get(), made.c_str(), spool_.get(), "status") != 0 ? errno
                                                                                            : error;
  if (error != 0) {
    ::unlinkat(spool_.get(), made.c_str(), 0);
  }
  return error;
}

Spool::Recording Spool::Recorded() const {
  const Fd file(::openat(spool_.get(), "status", O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  constexpr size_t kLargestRecord = 4096;
  struct stat info {};
  Recording record;
  if (!file.valid() || ::fstat(file.get(), &info) != 0) {
    record.error = errno == ELOOP ? EINVAL : errno;
  } else if (!S_ISREG(info.st_mode)) {
    record.error = EINVAL;
  } else if (const int error = ReadAtMost(file.get(), kLargestRecord, record.text)) {
    record.error = error;
  } else if (record.text.size() > kLargestRecord) {
    record.error = EFBIG;
  }
  return record;
}

// The lock is a file of its own, 0600: a lock that others could take would block every drain.
Fd Spool::LockForDrain() const {
  Fd lock(::openat(spool_.get(), "drain.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock.valid()) {
    throw LastOsError([&] { return "Cannot open the drain's lock " + path_ + "/drain.lock"; });
  }
  const int error = LockExclusive(lock.get());
  if (error != 0 && error != EWOULDBLOCK) {
    throw OsError(error, "Cannot lock " + path_ + "/drain.lock");
  }
  return error == 0 ? std::move(lock) : Fd();
}

const Fd& Spool::Of(Folder folder) const {
  return folders_[static_cast<size_t>(folder)];
}

std::string Spool::PathOf(Folder folder, const std::string& name) const {
  return path_ + "/" + std::string(FolderName(folder)) + "/" + name;
}

}  // namespace quorvex
