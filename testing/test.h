#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/run_error.h"

namespace quorvex {

// A fresh directory for one test, removed with everything in it afterwards. Helpers that
// cannot set a test up throw, which fails and ends the test that called them.
class TestDir {
 public:
  TestDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot make a directory from " + pattern);
    }
    path_ = pattern;
  }
  ~TestDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  void Write(const std::string& name, const std::string& bytes) const {
    if (!(std::ofstream(path_ / name, std::ios::binary) << bytes).flush()) {
      throw std::runtime_error("cannot write " + (path_ / name).string());
    }
  }

  // Runs shell commands in the directory: the shortest way to lay out files, links and
  // their owners.
  void Lay(const std::string& commands) const {
    if (std::system(("set -e; cd '" + path_.string() + "'; " + commands).c_str()) != 0) {
      throw std::runtime_error("cannot lay out: " + commands);
    }
  }

  std::string Read(const std::string& name) const {
    std::ifstream file(path_ / name, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
  }

 private:
  std::filesystem::path path_;
};

// `text` with every `from` replaced by `to`.
inline std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The lines of a trace log, each of which must end in CR LF.
inline std::vector<std::string> LogLines(std::string_view log) {
  std::vector<std::string> lines;
  for (size_t end; (end = log.find("\r\n")) != std::string_view::npos; log.remove_prefix(end + 2)) {
    lines.emplace_back(log.substr(0, end));
  }
  EXPECT_EQ(log, "") << "the log's last line must end in CR LF";
  return lines;
}

// The RunError that `act` raises; a test failure when it raises none.
template <typename Act>
RunError RunErrorOf(Act act) {
  try {
    act();
  } catch (const RunError& error) {
    return error;
  }
  ADD_FAILURE() << "no run error";
  return RunError(0, "");
}

// The errno of the RunError that `act` raises in a child process that gave root up (to
// nobody; a user who is not root stays who she is), as what another user meets is tested;
// -1 when it raises none.
template <typename Act>
int RunErrorWithoutRoot(Act act) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) {
      ::_exit(255);
    }
    try {
      act();
    } catch (const RunError& error) {
      ::_exit(error.number() & 0xff);
    }
    ::_exit(255);
  }
  int status = 0;
  return ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) != 255
             ? WEXITSTATUS(status)
             : -1;
}

}  // namespace quorvex
