#include "queue/spool.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/run_error.h"
#include "base/trusted_open.h"
#include "base/write_all.h"

namespace quorvex {
namespace {

struct FolderSpec {
  const char* name;
  mode_t mode;
};
// tmp/ and new/ are sticky: a member of the group adds items but cannot take another's.
constexpr FolderSpec kFolders[] = {{"tmp", 01770}, {"new", 01770}, {"cur", 0750}, {"failed", 0750}};

// Time, then process, then a counter: names sort in the order of queueing.
std::string NewItemName() {
  static std::atomic<unsigned> counter{0};
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  char name[64];
  std::snprintf(name, sizeof name, "%012lld.%06ld.%07d.%u", static_cast<long long>(now.tv_sec),
                now.tv_nsec / 1000, static_cast<int>(::getpid()), counter++);
  return name;
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

void Sync(int fd, const std::string& what) {
  if (::fsync(fd) != 0) {
    throw LastOsError([&] { return "Cannot sync " + what; });
  }
}

}  // namespace

std::optional<Spool> Spool::Open(const std::filesystem::path& exeDir, bool create) {
  Spool spool;
  OpenedFile top = OpenTrustedDirectory(exeDir, "spool", create ? 0755 : 0, "spool");
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
    OpenedFile folder = OpenTrustedDirectory(exeDir, name, create ? kFolders[i].mode : 0, "spool");
    if (!folder.fd.valid()) {
      throw OsError(folder.error,
                    "Cannot open spool folder " + spool.path_ + "/" + kFolders[i].name);
    }
    spool.folders_[i] = std::move(folder.fd);
  }
  return spool;
}

std::string Spool::Add(std::string_view request) {
  const std::string name = NewItemName();
  const std::string file = path_ + "/tmp/" + name;
  Fd item(::openat(Of(Folder::kTmp).get(), name.c_str(),
                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640));
  if (!item.valid()) {
    throw LastOsError([&] { return "Cannot create " + file; });
  }
  if (const int error = WriteAll(item.get(), request)) {
    ::unlinkat(Of(Folder::kTmp).get(), name.c_str(), 0);
    throw OsError(error, "Cannot write " + file);
  }
  Sync(item.get(), file);
  if (const int error = Move(name, Folder::kTmp, Folder::kNew)) {
    ::unlinkat(Of(Folder::kTmp).get(), name.c_str(), 0);
    throw OsError(error, "Cannot move " + file + " into " + path_ + "/new");
  }
  Sync(Of(Folder::kNew).get(), path_ + "/new");
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
  std::string request(static_cast<size_t>(info.st_size), '\0');
  const ssize_t count = ::pread(item.get(), request.data(), request.size(), 0);
  if (count != static_cast<ssize_t>(request.size())) {
    return {"", 0, "cannot be read"};
  }
  return {request, info.st_mtime, ""};
}

int Spool::Move(const std::string& name, Folder from, Folder to) const {
  return ::renameat(Of(from).get(), name.c_str(), Of(to).get(), name.c_str()) == 0 ? 0 : errno;
}

void Spool::Remove(const std::string& name, Folder folder) const {
  ::unlinkat(Of(folder).get(), name.c_str(), 0);
}

Fd Spool::LockForDrain() const {
  Fd lock(::openat(spool_.get(), "drain.lock", O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!lock.valid()) {
    throw LastOsError([&] { return "Cannot open the drain's lock in " + path_; });
  }
  return ::flock(lock.get(), LOCK_EX | LOCK_NB) == 0 ? std::move(lock) : Fd();
}

const Fd& Spool::Of(Folder folder) const {
  return folders_[static_cast<size_t>(folder)];
}

}  // namespace quorvex
