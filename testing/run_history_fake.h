#pragma once

#include <string>
#include <utility>
#include <vector>

#include "app/run_history.h"

namespace quorvex {

// Keeps every history line, with its priority, for the test to inspect.
class RecordingHistory final : public RunHistory {
 public:
  void Record(std::string_view line, int priority) override {
    lines.emplace_back(std::string(line), priority);
  }
  std::vector<std::pair<std::string, int>> lines;
};

}  // namespace quorvex
