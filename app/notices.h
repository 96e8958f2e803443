#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quorvex {

enum class NoticeKind { kCritical, kWarning, kPlain };

// Where the run tells the person at the machine why it stopped.
class NoticeSink {
 public:
  virtual ~NoticeSink() = default;
  virtual void Notify(std::string_view text, NoticeKind kind,
                      std::optional<std::string_view> title = std::nullopt) = 0;
  // A result the caller asked for, such as a check's: "Quorvex: TEXT" on standard output.
  virtual void Report(std::string_view text) = 0;
};

// Prints each notice on standard error, "Quorvex: critical: TEXT" and so on (the title is
// always Quorvex), and does not wait for anyone.
class StderrNotices final : public NoticeSink {
 public:
  void Notify(std::string_view text, NoticeKind kind,
              std::optional<std::string_view> title) override;
  void Report(std::string_view text) override;
};

}  // namespace quorvex
