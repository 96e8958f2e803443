#pragma once

#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>

namespace quorvex {

// "dd/mm/yyyy hh:mm:ss" on the 24-hour clock.
std::string FormatTimestamp(const std::tm& localTime);

// One log line: timestamp, blank, message unchanged, CR LF.
std::string FormatTraceLine(const std::tm& localTime, std::string_view message);

// The run's log file. Every line reaches the file with one write(2), so a run that is
// killed still leaves every line written so far.
class TraceLog {
 public:
  TraceLog() = default;
  TraceLog(const TraceLog&) = delete;
  TraceLog& operator=(const TraceLog&) = delete;
  ~TraceLog();

  // Creates or truncates the file; a failure leaves the log not open.
  void Open(const std::filesystem::path& file);
  bool IsOpen() const { return fd_ >= 0; }
  void Append(std::string_view line);
  void Close();

 private:
  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace quorvex
