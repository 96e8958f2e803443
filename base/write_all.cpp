#include "base/write_all.h"

#include <unistd.h>

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

}  // namespace quorvex
