#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

#include "base/fd.h"

namespace quorvex {

// One log line: "dd/mm/yyyy hh:mm:ss" on the 24-hour clock, blank, message unchanged, CR LF.
std::string FormatTraceLine(const std::tm& localTime, std::string_view message);

// The run's log file, which is also the lock that lets one run at a time use the
// installation. Every line reaches the file with one write(2), so a run that is killed
// still leaves every line written so far.
class TraceLog {
 public:
  // kLockOnly holds the lock for a check, keeps the file as it is and drops every line.
  enum class Use { kWrite, kLockOnly };

  // Opens `name` in `dir` through trusted links only, insists on a regular file, locks it,
  // and only then empties it (for kWrite); a new log gets mode 0660 whatever the umask. A
  // delivery locks it exclusively; a check shares the lock with deliveries' tests of it, so that
  // they can tell a check from a delivery, and holds its first byte against other checks. Raises
  // a RunError, kLogInUse when a delivery holds the lock, kLogInCheck when only checks do; a
  // failure leaves the log not open. Never blocks.
  void Open(const std::filesystem::path& dir, const std::string& name, Use use);
  bool IsOpen() const { return fd_.valid(); }
  // Writes `line`. Returns 0, or the errno of the first failed write; from then on lines
  // are dropped, and the file stays open and locked.
  int Append(std::string_view line);
  const std::string& path() const { return path_; }
  // Closes the file, which releases the lock.
  void Close();

 private:
  Fd fd_;
  bool dropping_ = false;
  std::string path_;
};

}  // namespace quorvex
