#include "queue/status_record.h"

#include <algorithm>
#include <charconv>

#include "queue/spool.h"

namespace quorvex {
namespace {

// The first word of `line`, which then begins after it and its blank.
std::string_view NextWord(std::string_view& line) {
  const size_t blank = std::min(line.find(' '), line.size());
  const std::string_view word = line.substr(0, blank);
  line.remove_prefix(std::min(blank + 1, line.size()));
  return word;
}

template <typename Integer>
bool Number(std::string_view word, Integer& value) {
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  return error == std::errc() && end == word.data() + word.size() && !word.empty();
}

}  // namespace

StatusRecord WithLook(StatusRecord record, Look look) {
  if (look.kind == LookKind::kDelivery && look.status == 0) {
    record.accepted = look.at;
  }
  record.latest = std::move(look);
  return record;
}

std::string FormatStatusRecord(const StatusRecord& record) {
  std::string text;
  if (const std::optional<Look>& look = record.latest) {
    text = look->kind == LookKind::kDelivery
               ? "delivery " + std::to_string(look->at) + " " + std::to_string(look->status) +
                     (look->refused ? " 1\n" : " 0\n")
               : "check " + std::to_string(look->at) + " " + std::to_string(look->status) + " " +
                     look->words + "\n";
  }
  if (record.accepted) {
    text += "accepted " + std::to_string(*record.accepted) + "\n";
  }
  return text;
}

StatusRecord ParseStatusRecord(std::string_view text) {
  StatusRecord record;
  for (size_t start = 0; start < text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    const std::string_view word = NextWord(line);
    Look look;
    if (!Number(NextWord(line), look.at) || look.at <= 0) {
      continue;
    }
    if (word == "accepted") {
      record.accepted = look.at;
    } else if (word == "delivery" && Number(NextWord(line), look.status)) {
      int refused = 0;
      look.refused = Number(NextWord(line), refused) && refused != 0;
      record.latest = look;
    } else if (word == "check" && Number(NextWord(line), look.status)) {
      look.kind = LookKind::kCheck;
      look.words = std::string(line);
      record.latest = look;
    }
  }
  return record;
}

int RecordLook(const Spool& spool, Look look) {
  return spool.Record(FormatStatusRecord(WithLook(RecordedIn(spool), std::move(look))));
}

StatusRecord RecordedIn(const Spool& spool) {
  const Spool::Recording recorded = spool.Recorded();
  return ParseStatusRecord(recorded.error == 0 ? recorded.text : "");
}

}  // namespace quorvex
