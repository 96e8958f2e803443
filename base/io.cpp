#include "base/io.h"

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

int LockExclusive(int fd) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) {
      return errno;
    }
  }
  return 0;
}

}  // namespace quorvex
