#include "app/notices.h"

#include <unistd.h>

namespace quorvex {

std::string FormatNotice(std::string_view text, NoticeKind kind) {
  std::string notice = "Quorvex: ";
  if (kind == NoticeKind::kCritical) {
    notice += "critical: ";
  } else if (kind == NoticeKind::kWarning) {
    notice += "warning: ";
  }
  notice += text;
  notice += '\n';
  return notice;
}

void StderrNotices::Notify(std::string_view text, NoticeKind kind,
                           std::optional<std::string_view>) {
  const std::string notice = FormatNotice(text, kind);
  std::string_view rest = notice;
  while (!rest.empty()) {
    const ssize_t written = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (written <= 0) {
      return;  // Nowhere left to tell anyone; the exit status still does.
    }
    rest.remove_prefix(static_cast<size_t>(written));
  }
}

}  // namespace quorvex
