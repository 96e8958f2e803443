#include "config/reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/run_error.h"
#include "base/text.h"
#include "config/numbers.h"

namespace quorvex {
namespace {

constexpr std::string_view kComPortKey = "COMPORT=";
constexpr std::string_view kSMSPhoneKey = "SMSPHONE=";
constexpr std::string_view kMaxAttemptsKey = "MAXATTEMPTS=";
constexpr std::string_view kMaxQueueHoursKey = "MAXQUEUEHOURS=";

RunError OverflowError(std::string_view key, std::string_view value, long long low,
                       long long high) {
  return RunError(kErrorOverflow,
                  "Overflow: " + std::string(key) + " value '" + QuotedValue(value) +
                      "' is outside " + std::to_string(low) + ".." + std::to_string(high),
                  Failure::kSetting);
}

template <typename Integer>
Integer RoundInto(double value, std::string_view key, std::string_view text) {
  constexpr long long low = std::numeric_limits<Integer>::min();
  constexpr long long high = std::numeric_limits<Integer>::max();
  const std::optional<long long> rounded = RoundToRange(value, low, high);
  if (!rounded) {
    throw OverflowError(key, text, low, high);
  }
  return static_cast<Integer>(*rounded);
}

int32_t ReadComPort(std::string_view value) {
  return RoundInto<int32_t>(NumericPrefix(value), "COMPORT", value);
}

template <typename Integer>
Integer ReadWholeNumber(std::string_view key, std::string_view value) {
  const std::optional<double> number = StrictDecimal(value);
  if (!number) {
    throw RunError(kErrorTypeMismatch,
                   "Type mismatch: " + std::string(key) + " value '" + QuotedValue(value) +
                       "' is not a number",
                   Failure::kSetting);
  }
  return RoundInto<Integer>(*number, key, value);
}

// The dial string goes out inside ATDT: a control byte there would be a command of its own,
// and the 7-bit line would turn a byte from 0x80 up into another one.
std::string ReadSMSPhone(std::string_view value) {
  const auto bad = std::find_if_not(value.begin(), value.end(), IsPrintableAscii);
  if (bad != value.end()) {
    throw RunError(EINVAL,
                   "SMSPHONE value '" + QuotedValue(value) + "' holds " +
                       (IsControl(*bad) ? "a control character" : "a non-ASCII character"),
                   Failure::kSetting);
  }
  return std::string(value);
}

// ASCII a-z only; every other byte stays as it is.
std::string ToUpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return upper;
}

// Lines end at CR, CR LF or LF; a last line without an end still counts.
std::vector<std::string_view> SplitLines(std::string_view bytes) {
  std::vector<std::string_view> lines;
  while (!bytes.empty()) {
    const size_t end = bytes.find_first_of("\r\n");
    lines.push_back(bytes.substr(0, end));
    if (end == std::string_view::npos) {
      break;
    }
    const bool crlf = bytes[end] == '\r' && end + 1 < bytes.size() && bytes[end + 1] == '\n';
    bytes.remove_prefix(end + (crlf ? 2 : 1));
  }
  return lines;
}

}  // namespace

Settings ReadConfiguration(std::string_view bytes) {
  Settings settings;
  for (std::string_view rawLine : SplitLines(bytes)) {
    const std::string line = ToUpperAscii(rawLine);
    const std::string_view view = line;
    if (view.starts_with(kComPortKey)) {
      settings.ComPort = ReadComPort(view.substr(kComPortKey.size()));
    }
    if (view.starts_with(kSMSPhoneKey)) {
      settings.SMSPhone = ReadSMSPhone(view.substr(kSMSPhoneKey.size()));
    }
    if (view.starts_with(kMaxAttemptsKey)) {
      settings.MaxAttempts =
          ReadWholeNumber<int16_t>("MAXATTEMPTS", view.substr(kMaxAttemptsKey.size()));
    }
    if (view.starts_with(kMaxQueueHoursKey)) {
      settings.MaxQueueHours =
          ReadWholeNumber<int32_t>("MAXQUEUEHOURS", view.substr(kMaxQueueHoursKey.size()));
    }
  }
  return settings;
}

}  // namespace quorvex
