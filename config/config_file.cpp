#include "config/config_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/run_error.h"

namespace quorvex {
namespace {

RunError TooLarge(const std::filesystem::path& file) {
  return RunError(EFBIG, "Configuration file " + file.string() + " is larger than 1 MiB",
                  Failure::kSetting);
}

// Reads at most one byte past the limit, so a file that grows meanwhile is caught too.
std::string ReadAtMostLimit(int fd, const std::filesystem::path& file) {
  std::string bytes;
  char buffer[4096];
  ssize_t count;
  while (bytes.size() <= kLargestConfiguration &&
         (count = ::read(fd, buffer, sizeof buffer)) != 0) {
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      throw OsError(errno, "Cannot read configuration file " + file.string());
    }
    bytes.append(buffer, static_cast<size_t>(count));
  }
  if (bytes.size() > kLargestConfiguration) {
    throw TooLarge(file);
  }
  return bytes;
}

}  // namespace

std::optional<std::string> ReadRegularFile(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    return std::nullopt;
  }
  if (static_cast<uintmax_t>(info.st_size) > kLargestConfiguration) {
    throw TooLarge(file);
  }
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    throw OsError(errno, "Cannot open configuration file " + file.string());
  }
  try {
    std::string bytes = ReadAtMostLimit(fd, file);
    ::close(fd);
    return bytes;
  } catch (...) {
    ::close(fd);
    throw;
  }
}

}  // namespace quorvex
