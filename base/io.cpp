#include "base/io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/fd.h"

namespace quorvex {

int WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return written < 0 ? errno : EIO;
    }
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return 0;
}

int ReadAtMost(int fd, size_t limit, std::string& bytes) {
  char buffer[4096];
  for (ssize_t count; bytes.size() <= limit;) {
    count = ::read(fd, buffer, std::min(sizeof buffer, limit + 1 - bytes.size()));
    if (count == 0) {
      return 0;
    }
    if (count < 0 && errno != EINTR) {
      return errno;
    }
    bytes.append(buffer, static_cast<size_t>(std::max<ssize_t>(count, 0)));
  }
  return 0;
}

namespace {

int Flock(int fd, int operation) {
  while (::flock(fd, operation | LOCK_NB) != 0) {
    if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

}  // namespace

int LockExclusive(int fd) {
  return Flock(fd, LOCK_EX);
}

int LockShared(int fd) {
  return Flock(fd, LOCK_SH);
}

int LockFirstByte(int fd) {
  struct flock range {};
  range.l_type = F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_len = 1;
  if (::fcntl(fd, F_OFD_SETLK, &range) == 0) {
    return 0;
  }
  return errno == EACCES || errno == EAGAIN ? EWOULDBLOCK : errno;
}

long FlockHolder(const std::string& path) {
  struct stat info {};
  const Fd locks(::open("/proc/locks", O_RDONLY | O_CLOEXEC));
  std::string text;
  if (::stat(path.c_str(), &info) != 0 || !locks.valid() ||
      ReadAtMost(locks.get(), size_t{1} << 20, text) != 0) {
    return 0;
  }
  return FlockHolderIn(text, info.st_dev, info.st_ino);
}

// Lines such as "3: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF": the device's major and
// minor in hex, the inode in decimal. Waiting requests ("->") hold nothing.
long FlockHolderIn(std::string_view locks, unsigned long device, unsigned long inode) {
  for (size_t start = 0; start < locks.size();) {
    const size_t end = std::min(locks.find('\n', start), locks.size());
    const std::string line(locks.substr(start, end - start));
    start = end + 1;
    char kind[16] = {};
    long pid = 0;
    unsigned major = 0;
    unsigned minor = 0;
    unsigned long node = 0;
    if (std::sscanf(line.c_str(), "%*d: %15s %*s %*s %ld %x:%x:%lu", kind, &pid, &major, &minor,
                    &node) == 5 &&
        std::string_view(kind) == "FLOCK" && ::makedev(major, minor) == device && node == inode &&
        pid > 0) {
      return pid;
    }
  }
  return 0;
}

}  // namespace quorvex
