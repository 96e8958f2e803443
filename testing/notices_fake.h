#pragma once

#include <string>
#include <vector>

#include "app/notices.h"

namespace quorvex {

struct RecordedNotice {
  std::string text;
  NoticeKind kind;
  std::optional<std::string> title;
  bool operator==(const RecordedNotice&) const = default;
};

// Keeps every notice for the test to inspect.
class RecordingNotices : public NoticeSink {
 public:
  void Notify(std::string_view text, NoticeKind kind,
              std::optional<std::string_view> title) override {
    notices.push_back(
        {std::string(text), kind, title ? std::optional<std::string>(*title) : std::nullopt});
  }
  void Report(std::string_view text) override { reports.emplace_back(text); }
  std::vector<RecordedNotice> notices;
  std::vector<std::string> reports;
};

}  // namespace quorvex
