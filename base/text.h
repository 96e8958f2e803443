#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace quorvex {

// Digits behind a blank for zero and positives, behind a minus sign for negatives (" 5").
std::string DigitsAfterSignOrBlank(int64_t value);
// Digits with a minus sign for negatives; zero gives empty text.
std::string DigitsOrEmptyForZero(int64_t value);

// True for the bytes below 0x20 and 0x7F, which a modem or a log line must not carry.
bool IsControl(char c);
// `text` with each control byte turned into one blank.
std::string BlankControls(std::string text);
// True for the bytes a 7-bit line and a log line carry as they are: 0x20 to 0x7E.
bool IsPrintableAscii(char c);
// `text` as a 7-bit line can carry it: each non-ASCII character becomes its nearest ASCII
// text as C.UTF-8's transliteration gives it ("\xC4\x8D" becomes "c", the euro sign "EUR"),
// or "?" where it has none; each byte outside well-formed UTF-8 becomes one "?"; each
// control character, C0 or C1, a blank; zero-width marks (joiners, direction marks, the
// byte-order mark) vanish. Without C.UTF-8, every non-ASCII character becomes "?".
std::string SevenBitText(std::string_view text);
// Whether `text` holds `word` anywhere, as the modem's answers are searched.
inline bool Contains(std::string_view text, std::string_view word) {
  return text.find(word) != std::string_view::npos;
}
// The parts joined in one allocation: a line that carries a long message is built without
// the copies that growing it piece by piece would leave behind.
std::string Concat(std::initializer_list<std::string_view> parts);
// An age as a listing shows it, in its largest whole unit: "45s", "12m", "3h", "2d".
std::string Age(long long seconds);
// A value as an error text quotes it: control bytes as blanks, at most 40 bytes, then "...".
std::string QuotedValue(std::string_view value);
// A name someone else chose, as a listing or the journal shows it: each byte outside
// printable ASCII as "?" (no escape sequence reaches a terminal), at most 40, then "...".
std::string PrintableName(std::string_view name);

}  // namespace quorvex
