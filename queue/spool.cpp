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
constexpr FolderSpec kFolders[] = {{"tmp", 03770}, {"new", 03770}, {"cur", 0750}, {"failed", 0750}};
constexpr FailedReason kReasons[] = {kFailedRefused, kFailedExpired, kFailedInvalid, kFailedUnsafe,
                                     kFailedMisnamed};

std::string NewItemId() {
  static std::atomic<unsigned> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return ItemIdOf(now, ::getpid(), counter++);
}

// Why a file of this kind is no item; empty if it may be one.
std::string ItemDoubt(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) {
    return "not a regular file";
  }
  if (info.st_nlink != 1) {
    return "a file with other links";
  }
  if (static_cast<uintmax_t>(info.st_size) > kLargestItem) {
    return "larger than 64 KiB";
  }
  return {};
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
  if (mode != wanted && !(wanted == 03770 && mode == 01770)) {
    char text[64];
    std::snprintf(text, sizeof text, ": mode %04o, not %04o", static_cast<unsigned>(mode),
                  static_cast<unsigned>(wanted));
    throw RunError(EPERM, "Refusing spool folder " + path + text);
  }
}

}  // namespace

// Time, then process, then a counter, each padded: names sort in the order of queueing.
std::string ItemIdOf(const timespec& queuedAt, pid_t process, unsigned counter) {
  char id[64];
  std::snprintf(id, sizeof id, "%012lld.%06ld.%07d.%u", static_cast<long long>(queuedAt.tv_sec),
                queuedAt.tv_nsec / 1000, static_cast<int>(process), counter);
  return id;
}

std::optional<ItemName> ParseItemName(std::string_view name) {
  std::vector<std::string_view> fields;
  for (size_t start = 0; start <= name.size() && fields.size() < 6;) {
    const size_t end = std::min(name.find('.', start), name.size());
    fields.push_back(name.substr(start, end - start));
    start = end + 1;
  }
  const bool idForm = (fields.size() == 4 || fields.size() == 5) && AllDigits(fields[0], 12, 12) &&
                      AllDigits(fields[1], 6, 6) && AllDigits(fields[2], 7, 10) &&
                      AllDigits(fields[3], 1, 10);
  if (!idForm) {
    return std::nullopt;
  }
  if (fields.size() == 4) {
    return ItemName{std::string(name), 0};
  }
  const std::string_view count = fields[4];
  if (count.size() != 2 || count[0] != 'r' || count[1] < '1' || count[1] >= '0' + kMostRefusals) {
    return std::nullopt;
  }
  return ItemName{std::string(name.substr(0, name.size() - 3)), count[1] - '0'};
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
  const std::optional<ItemName> item =
      dot == std::string_view::npos ? std::nullopt : ParseItemName(name.substr(0, dot));
  for (const FailedReason& reason : kReasons) {
    if (item && item->refusals == 0 && name.substr(dot + 1) == reason.code) {
      return std::pair{item->id, reason};
    }
  }
  return std::nullopt;
}

std::optional<Spool> Spool::Open(const std::filesystem::path& exeDir, bool create) {
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
    OpenedFile folder = OpenTrustedDirectory(exeDir, name, create ? kFolders[i].mode : 0, "spool");
    if (!folder.fd.valid()) {
      throw OsError(folder.error, "Cannot open spool folder " + path);
    }
    RequireMode(folder.fd, kFolders[i].mode, path);
    spool.folders_[i] = std::move(folder.fd);
  }
  return spool;
}

std::string Spool::Add(std::string_view request, int refusals) const {
  std::string name = FileNameOf({NewItemId(), refusals});
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
  if (::fsync(Of(Folder::kNew).get()) != 0) {
    const int syncError = errno;
    if (Remove(name, Folder::kNew) != ENOENT) {
      throw OsError(syncError, "Cannot sync " + path_ + "/new");
    }
  }
  return name;
}

std::vector<std::string> Spool::Names(Folder folder) const {
  std::vector<std::string> names;
  const int fd = ::openat(Of(folder).get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* listing = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (listing == nullptr) {
    Fd unused(fd);
    throw LastOsError([&] { return "Cannot list " + path_; });
  }
  for (const dirent* entry; (entry = ::readdir(listing)) != nullptr;) {
    if (entry->d_name[0] != '.') {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(listing);
  std::sort(names.begin(), names.end());
  return names;
}

ItemRead Spool::Read(Folder folder, const std::string& name) const {
  struct stat info {};
  if (::fstatat(Of(folder).get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return {"", 0, "cannot be examined"};
  }
  if (std::string doubt = ItemDoubt(info); !doubt.empty()) {
    return {"", 0, doubt};
  }
  const Fd item(::openat(Of(folder).get(), name.c_str(),
                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!item.valid()) {
    return {"", 0, std::string("cannot be opened (") + std::strerror(errno) + ")"};
  }
  // Checked again on what was opened: the name may have been swapped meanwhile.
  if (::fstat(item.get(), &info) != 0 || !ItemDoubt(info).empty()) {
    return {"", 0, "changed while it was opened"};
  }
  std::string request;
  if (ReadAtMost(item.get(), kLargestItem, request) != 0 || request.size() > kLargestItem) {
    return {"", 0, "cannot be read"};
  }
  return {request, info.st_mtime, ""};
}

int Spool::Move(const std::string& name, Folder from, Folder to, const std::string& as) const {
  return ::renameat2(Of(from).get(), name.c_str(), Of(to).get(), as.c_str(), RENAME_NOREPLACE) == 0
             ? 0
             : errno;
}

int Spool::SetAside(const std::string& name, Folder from, const FailedReason& reason) const {
  const std::optional<ItemName> item = ParseItemName(name);
  std::string id = item ? item->id : NewItemId();
  for (int tries = 1;; ++tries) {
    const int error = Move(name, from, Folder::kFailed, id + "." + std::string(reason.code));
    if (error != EEXIST || tries == 3) {
      return error;
    }
    id = NewItemId();
  }
}

int Spool::Remove(const std::string& name, Folder folder) const {
  return ::unlinkat(Of(folder).get(), name.c_str(), 0) == 0 ? 0 : errno;
}

int Spool::Touch(const std::string& name, Folder folder) const {
  return ::utimensat(Of(folder).get(), name.c_str(), nullptr, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
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

void Spool::Record(std::string_view text) const {
  const std::string made = ".status." + std::to_string(::getpid());
  ::unlinkat(spool_.get(), made.c_str(), 0);  // what a killed drain of this PID left
  Fd file(::openat(spool_.get(), made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                   0640));
  if (file.valid() && ::fchmod(file.get(), 0640) == 0 && WriteAll(file.get(), text) == 0 &&
      ::renameat(spool_.get(), made.c_str(), spool_.get(), "status") == 0) {
    return;
  }
  ::unlinkat(spool_.get(), made.c_str(), 0);
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
  return path_ + "/" + kFolders[static_cast<size_t>(folder)].name + "/" + name;
}

}  // namespace quorvex
