#include "base/trusted_open.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <deque>

#include "base/run_error.h"

namespace quorvex {
namespace {

constexpr int kMostLinks = 40;  // as the kernel's own limit, then ELOOP

std::string GroupName(gid_t gid) {
  const group* entry = ::getgrgid(gid);
  return entry != nullptr ? entry->gr_name : std::to_string(gid);
}

bool TrustedOwner(uid_t uid) {
  return uid == 0 || uid == ::geteuid();
}

// With an access control list, the group bits show its mask: what named users and groups
// may do at most.
bool HasAccessControlList(int fd) {
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  return ::getxattr(self.c_str(), "system.posix_acl_access", nullptr, 0) > 0;
}

}  // namespace

std::string UserName(uid_t uid) {
  const passwd* user = ::getpwuid(uid);
  return user != nullptr ? user->pw_name : std::to_string(uid);
}

std::string ForeignOwner(const struct stat& info, const std::string& path) {
  return TrustedOwner(info.st_uid) ? "" : path + " belongs to user " + UserName(info.st_uid);
}

namespace {

// Why someone other than root or us could change what the directory holds; empty if no one.
std::string DirectoryDoubt(int fd, const struct stat& info, const std::string& path) {
  if (std::string foreign = ForeignOwner(info, path); !foreign.empty()) {
    return foreign;
  }
  if (info.st_mode & S_ISVTX) {
    return {};
  }
  if (info.st_mode & S_IWOTH) {
    return path + " is writable by others";
  }
  if ((info.st_mode & S_IWGRP) && HasAccessControlList(fd)) {
    return path + " is writable through its access control list";
  }
  if (info.st_mode & S_IWGRP) {
    return path + " is writable by group " + GroupName(info.st_gid);
  }
  return {};
}

// In a sticky directory another user may plant the name first, or hard-link a file of
// root's there (where fs.protected_hardlinks is off): such a file is not ours to write.
std::string StickyDoubt(const struct stat& info, const std::string& path) {
  if (!TrustedOwner(info.st_uid)) {
    return path + " in a sticky directory belongs to user " + UserName(info.st_uid);
  }
  if (!S_ISDIR(info.st_mode) && info.st_nlink > 1) {
    return path + " in a sticky directory has other links";
  }
  return {};
}

std::deque<std::string> Components(const std::string& path) {
  std::deque<std::string> parts;
  for (size_t start = 0; start <= path.size();) {
    const size_t end = std::min(path.find('/', start), path.size());
    if (end > start && path.compare(start, end - start, ".") != 0) {
      parts.emplace_back(path, start, end - start);
    }
    start = end + 1;
  }
  return parts;
}

// One walk from a directory to the file, a link at a time.
class Walk {
 public:
  Walk(std::string what, std::string file) : what_(std::move(what)), file_(std::move(file)) {}

  // Makes the file a directory of `mode` when it is missing, instead of creating a file.
  void MakeMissingDirectory() { makeDirectory_ = true; }

  void RefuseIf(const std::string& doubt) const {
    if (!doubt.empty()) {
      throw RunError(EPERM, "Refusing " + what_ + " " + file_ + ": " + doubt);
    }
  }

  OpenedFile Open(const std::filesystem::path& dir, const std::string& name, int flags,
                  mode_t mode) {
    if (!EnterFrom(AT_FDCWD, dir.string(), dir.string())) {
      return Failed(errno, (dir / name).string(), false);
    }
    pending_ = Components(name);
    while (!pending_.empty()) {
      const std::string part = pending_.front();
      pending_.pop_front();
      const std::string path = PathOf(part);
      Fd node(::openat(at_.get(), part.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
      struct stat info {};
      if (!node.valid() || ::fstat(node.get(), &info) != 0) {
        if (errno == ENOENT && !pending_.empty()) {
          return MissingDirectory(path);
        }
        return errno == ENOENT ? Create(part, path, flags, mode) : Failed(errno, path, false);
      }
      if (S_ISLNK(info.st_mode)) {
        if (!Follow(node, info, path)) {
          return Failed(errno, path, true);
        }
      } else if (!pending_.empty()) {
        if (!EnterFrom(at_.get(), part, path)) {
          return Failed(errno, path, true);
        }
      } else {
        return OpenExisting(part, path, info, flags, mode);
      }
    }
    return Failed(EISDIR, atPath_, true);
  }

 private:
  std::string PathOf(const std::string& part) const {
    return (atPath_ == "/" ? "" : atPath_) + "/" + part;
  }

  bool EnterFrom(int from, const std::string& part, const std::string& path) {
    Fd next(::openat(from, part.c_str(),
                     O_PATH | O_DIRECTORY | O_CLOEXEC | (from == AT_FDCWD ? 0 : O_NOFOLLOW)));
    if (!next.valid()) {
      return false;
    }
    at_ = std::move(next);
    atPath_ = part == ".." ? std::filesystem::path(atPath_).parent_path().string() : path;
    return true;
  }

  void CheckDirectory() const {
    struct stat info {};
    if (::fstat(at_.get(), &info) != 0) {
      throw LastOsError([&] { return "Cannot examine " + atPath_; });
    }
    RefuseIf(DirectoryDoubt(at_.get(), info, atPath_));
    sticky_ = (info.st_mode & S_ISVTX) != 0;
  }

  bool Follow(const Fd& link, const struct stat& info, const std::string& path) {
    CheckDirectory();
    if (!TrustedOwner(info.st_uid)) {
      RefuseIf(path + " is a link owned by user " + UserName(info.st_uid));
    }
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(link.get(), "", target, sizeof target);
    if (length < 0 || ++links_ > kMostLinks) {
      errno = length < 0 ? errno : ELOOP;
      return false;
    }
    const std::string text(target, static_cast<size_t>(length));
    std::deque<std::string> parts = Components(text);
    pending_.insert(pending_.begin(), parts.begin(), parts.end());
    return !text.starts_with('/') || EnterFrom(AT_FDCWD, "/", "/");
  }

  OpenedFile Create(const std::string& part, const std::string& path, int flags, mode_t mode) {
    CheckDirectory();
    if (makeDirectory_) {
      return MakeDirectory(part, path, flags, mode);
    }
    if (!(flags & O_CREAT)) {
      return Failed(ENOENT, path, false);
    }
    return Verified(Fd(::openat(at_.get(), part.c_str(), flags | O_NOFOLLOW, mode)), path, false);
  }

  // Made under a name of its own and renamed into place once it has its mode: a process
  // that opens it meanwhile (a second queueing at the same moment) never sees the umask's.
  OpenedFile MakeDirectory(const std::string& part, const std::string& path, int flags,
                           mode_t mode) {
    const std::string made = "." + part + ".new." + std::to_string(::getpid());
    if (::mkdirat(at_.get(), made.c_str(), 0700) != 0) {
      return Failed(errno, path, false);
    }
    const Fd fd(::openat(at_.get(), made.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    const bool placed =
        fd.valid() && ::fchmod(fd.get(), mode) == 0 &&
        ::renameat2(at_.get(), made.c_str(), at_.get(), part.c_str(), RENAME_NOREPLACE) == 0;
    const int error = errno;
    if (!placed) {
      ::unlinkat(at_.get(), made.c_str(), AT_REMOVEDIR);
      if (error != EEXIST) {
        return Failed(error, path, false);
      }
    }
    return Verified(Fd(::openat(at_.get(), part.c_str(), flags | O_NOFOLLOW)), path, !placed);
  }
  OpenedFile OpenExisting(const std::string& part, const std::string& path, const struct stat& info,
                          int flags, mode_t mode) {
    CheckDirectory();
    if (sticky_) {
      RefuseIf(StickyDoubt(info, path));
    }
    // O_NOFOLLOW: a link swapped in since the check above fails the open (ELOOP).
    return Verified(Fd(::openat(at_.get(), part.c_str(), flags | O_NOFOLLOW, mode)), path, true);
  }

  // In a sticky directory another user may create the name first; what was opened decides.
  OpenedFile Verified(Fd fd, const std::string& path, bool existed) const {
    if (!fd.valid()) {
      return Failed(errno, path, existed);
    }
    struct stat info {};
    if (sticky_ && ::fstat(fd.get(), &info) == 0) {
      RefuseIf(StickyDoubt(info, path));
    }
    return {std::move(fd), 0, path, existed};
  }

  static OpenedFile Failed(int error, const std::string& path, bool existed) {
    return {Fd(), error, path, existed};
  }

  // Nothing is made on the way: a missing directory is the admin's to create.
  static OpenedFile MissingDirectory(const std::string& path) {
    OpenedFile missing = Failed(ENOENT, path, false);
    missing.missingDirectory = true;
    return missing;
  }

  std::string what_;
  std::string file_;
  Fd at_;
  std::string atPath_;
  mutable bool sticky_ = false;
  std::deque<std::string> pending_;
  int links_ = 0;
  bool makeDirectory_ = false;
};

}  // namespace

OpenedFile OpenTrusted(const std::filesystem::path& dir, const std::string& name, int flags,
                       mode_t mode, std::string_view what) {
  return Walk(std::string(what), (dir / name).string()).Open(dir, name, flags, mode);
}

OpenedFile OpenTrustedDirectory(const std::filesystem::path& dir, const std::string& name,
                                mode_t mode, std::string_view what) {
  Walk walk(std::string(what), (dir / name).string());
  if (mode != 0) {
    walk.MakeMissingDirectory();
  }
  OpenedFile opened = walk.Open(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC, mode);
  struct stat info {};
  if (opened.fd.valid() && ::fstat(opened.fd.get(), &info) == 0) {
    walk.RefuseIf(DirectoryDoubt(opened.fd.get(), info, opened.reached));
  }
  return opened;
}

}  // namespace quorvex
