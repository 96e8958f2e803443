#include "trace/trace_log.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/run_error.h"
#include "base/write_all.h"

namespace quorvex {
namespace {

// A FIFO, device or directory would block the run, or take its lines somewhere else.
void RequireRegularFile(int fd, const std::filesystem::path& file) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    throw OsError(errno, "Cannot examine trace log " + file.string());
  }
  if (!S_ISREG(info.st_mode)) {
    throw RunError(EINVAL, "Cannot use trace log " + file.string() + ": not a regular file");
  }
}

void LockForThisRun(int fd, const std::filesystem::path& file) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    return;
  }
  if (errno == EWOULDBLOCK) {
    throw RunError(EWOULDBLOCK,
                   "Another Quorvex run is in progress in " + file.parent_path().string() +
                       " - try again later",
                   Failure::kLogInUse);
  }
  throw OsError(errno, "Cannot lock trace log " + file.string());
}

}  // namespace

std::string FormatTimestamp(const std::tm& localTime) {
  char text[80];  // room for any int the compiler can imagine
  std::snprintf(text, sizeof text, "%02d/%02d/%04d %02d:%02d:%02d", localTime.tm_mday,
                localTime.tm_mon + 1, localTime.tm_year + 1900, localTime.tm_hour, localTime.tm_min,
                localTime.tm_sec);
  return text;
}

std::string FormatTraceLine(const std::tm& localTime, std::string_view message) {
  std::string line = FormatTimestamp(localTime);
  line += ' ';
  line += message;
  line += "\r\n";
  return line;
}

TraceLog::~TraceLog() {
  Close();
}

void TraceLog::Open(const std::filesystem::path& file) {
  // Not truncated before the lock is held: the log of a run in progress must survive.
  const int fd =
      ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0 && errno == ENXIO) {
    throw RunError(EINVAL, "Cannot use trace log " + file.string() + ": not a regular file");
  }
  if (fd < 0) {
    throw OsError(errno, "Cannot create trace log " + file.string());
  }
  try {
    RequireRegularFile(fd, file);
    LockForThisRun(fd, file);
    if (::ftruncate(fd, 0) != 0) {
      throw OsError(errno, "Cannot empty trace log " + file.string());
    }
  } catch (...) {
    ::close(fd);
    throw;
  }
  Close();
  fd_ = fd;
  dropping_ = false;
  path_ = file;
}

int TraceLog::Append(std::string_view line) {
  if (dropping_) {
    return 0;
  }
  const int error = WriteAll(fd_, line);
  dropping_ = error != 0;
  return error;
}

void TraceLog::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace quorvex
