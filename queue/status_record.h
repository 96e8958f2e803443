#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace quorvex {

class Spool;

// A drain keeps how the modem fared at its latest look in spool/status, for a monitoring
// check that may not use the port itself. The text, one fact a line:
//   "delivery TIME STATUS REFUSED"  a delivery's exit status, REFUSED 1 when the service
//                                   took the call but not the message
//   "check TIME STATUS WORDS"       a look at the idle modem: its exit status and what it said
//   "accepted TIME"                 the service's latest acceptance, kept across later looks
enum class LookKind { kDelivery, kCheck };

struct Look {
  LookKind kind = LookKind::kDelivery;
  std::time_t at = 0;
  int status = 0;
  bool refused = false;  // a delivery's
  std::string words;     // a check's, one line
};

struct StatusRecord {
  std::optional<Look> latest;
  std::optional<std::time_t> accepted;
};

// The record after `look`; an accepted delivery is the latest acceptance too.
StatusRecord WithLook(StatusRecord record, Look look);
std::string FormatStatusRecord(const StatusRecord& record);
// What `text` records; lines of other forms are passed over.
StatusRecord ParseStatusRecord(std::string_view text);

// Records `look` in the spool, keeping the latest acceptance across later looks; returns 0 or
// the errno that kept it from the record.
int RecordLook(const Spool& spool, Look look);
// What the spool records; nothing recorded where the record cannot be read.
StatusRecord RecordedIn(const Spool& spool);

// With no alert for this long, a drain looks at the idle modem so that the record stays new.
inline constexpr std::time_t kLookInterval = 3600;
// A record older than this tells nothing of the modem now.
inline constexpr std::time_t kLookExpiry = 2 * kLookInterval;

}  // namespace quorvex
