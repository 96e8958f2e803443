#include "trace/trace_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "app/run_error.h"

namespace quorvex {

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
  // O_APPEND as well as O_TRUNC, so that no line is ever written over another.
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) {
    throw OsError(errno, "Cannot create trace log " + file.string());
  }
  Close();
  fd_ = fd;
  path_ = file;
}

void TraceLog::Append(std::string_view line) {
  while (!line.empty()) {
    const ssize_t written = ::write(fd_, line.data(), line.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written < 0) {
      throw OsError(errno, "Cannot write to trace log " + path_.string());
    }
    line.remove_prefix(static_cast<size_t>(written));
  }
}

void TraceLog::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace quorvex
