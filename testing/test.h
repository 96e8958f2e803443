#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "base/run_error.h"

namespace quorvex {

// A fresh directory for one test, removed with everything in it afterwards.
class TestDir {
 public:
  TestDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "quorvex-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TestDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

  void Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path_ / name, std::ios::binary) << bytes;
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

}  // namespace quorvex
