#include "trace/trace_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "base/io.h"
#include "base/run_error.h"
#include "base/trusted_open.h"

namespace quorvex {
namespace {

// A FIFO, device or directory would block the run, or take its lines somewhere else.
RunError NotRegular(const std::string& file) {
  return RunError(EINVAL, "Cannot use trace log " + file + ": not a regular file");
}

void RequireRegularFile(int fd, const std::string& file) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    throw LastOsError([&] { return "Cannot examine trace log " + file; });
  }
  if (!S_ISREG(info.st_mode)) {
    throw NotRegular(file);
  }
}

RunError InUse(const std::filesystem::path& installation, Failure failure) {
  return RunError(
      EWOULDBLOCK,
      std::string(failure == Failure::kLogInCheck ? "A Quorvex check" : "Another Quorvex run") +
          " is in progress in " + installation.string() + " - try again later",
      failure);
}

// A delivery's exclusive lock shuts everyone out; a check's shared one lets a delivery see
// that only checks hold it, and its first byte keeps the checks apart.
void LockForThisRun(int fd, const std::filesystem::path& installation, TraceLog::Use use) {
  int error = use == TraceLog::Use::kWrite ? LockExclusive(fd) : LockShared(fd);
  if (error == EWOULDBLOCK) {
    const bool onlyChecks = use == TraceLog::Use::kWrite && LockShared(fd) == 0;
    throw InUse(installation, onlyChecks ? Failure::kLogInCheck : Failure::kLogInUse);
  }
  if (error == 0 && use == TraceLog::Use::kLockOnly) {
    error = LockFirstByte(fd);
    if (error == EWOULDBLOCK) {
      throw InUse(installation, Failure::kLogInCheck);
    }
  }
  if (error != 0) {
    throw OsError(error, "Cannot lock the trace log in " + installation.string());
  }
}

}  // namespace

std::string FormatTraceLine(const std::tm& localTime, std::string_view message) {
  char stamp[64];
  const size_t length = std::strftime(stamp, sizeof stamp, "%d/%m/%Y %H:%M:%S ", &localTime);
  std::string line;
  line.reserve(length + message.size() + 2);  // one allocation, however long the message
  return line.append(stamp, length).append(message).append("\r\n");
}

void TraceLog::Open(const std::filesystem::path& dir, const std::string& name, Use use) {
  // Not truncated before the lock is held: the log of a run in progress must survive.
  // 0660: the log holds recipients and messages, and a reader could also hold its lock.
  OpenedFile file =
      OpenTrusted(dir, name, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK,
                  0660, "trace log");
  if (!file.fd.valid() && file.error == ENXIO) {
    throw NotRegular(file.reached);
  }
  if (file.missingDirectory) {
    throw RunError(ENOENT, "Cannot create trace log " + (dir / name).string() + ": directory " +
                               file.reached + " does not exist");
  }
  if (!file.fd.valid()) {
    throw OsError(
        file.error,
        (file.existed ? "Cannot open trace log " : "Cannot create trace log ") + file.reached);
  }
  RequireRegularFile(file.fd.get(), file.reached);
  // A log made under root's umask (0640 from cron) would lock the dialout group out.
  if (!file.existed && ::fchmod(file.fd.get(), 0660) != 0) {
    throw LastOsError([&] { return "Cannot set the mode of trace log " + file.reached; });
  }
  LockForThisRun(file.fd.get(), dir, use);
  if (use == Use::kWrite && ::ftruncate(file.fd.get(), 0) != 0) {
    throw LastOsError([&] { return "Cannot empty trace log " + file.reached; });
  }
  fd_ = std::move(file.fd);
  dropping_ = use == Use::kLockOnly;
  path_ = file.reached;
}

int TraceLog::Append(std::string_view line) {
  if (dropping_) {
    return 0;
  }
  const int error = WriteAll(fd_.get(), line);
  dropping_ = error != 0;
  return error;
}

void TraceLog::Close() {
  fd_.reset();
}

}  // namespace quorvex
