#include "base/text.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

std::string Repeated(const std::string& text, int times) {
  std::string repeated;
  for (int i = 0; i < times; ++i) {
    repeated += text;
  }
  return repeated;
}

// What reaches a 7-bit line: its nearest ASCII, one "?" for each byte outside well-formed
// UTF-8 (overlong, surrogate, past U+10FFFF, cut short), controls C0 and C1 as blanks, and
// zero-width marks as nothing; more ASCII than the converter's buffer holds at once.
class SevenBit : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(SevenBit, IsWhatTheLineCanCarry) {
  EXPECT_EQ(SevenBitText(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(
    Text, SevenBit,
    ::testing::Values(std::pair{" Meet at 10_30~", " Meet at 10_30~"},
                      std::pair{"a\rb\nc\td\x1b\x1f\x7fg", "a b c d   g"},
                      std::pair{"K\xC4\x8D \xC3\x8D\xC3\xA9\xE2\x80\x8D", "Kc Ie"},
                      std::pair{"\xE2\x80\x93\xE2\x80\x99\xE2\x82\xAC", "-'EUR"},
                      std::pair{"caf\xE9_x \x8D\xFF", "caf?_x ??"},
                      std::pair{"\xE4\xB8\xAD\xC3", "??"},
                      std::pair{"\xF4\x90\x80\x80|\xC0\xAF|\xED\xA0\x80", "????|??|???"},
                      std::pair{"a\xC2\x85"
                                "b\xC2\x9F"
                                "c",
                                "a b c"},
                      std::pair{"z\xE2\x80\x8B\xE2\x80\x8D\xE2\x80\x8E\xEF\xBB\xBFz", "zz"},
                      std::pair{Repeated("\xE2\x82\xAC", 100), Repeated("EUR", 100)}));

}  // namespace
}  // namespace quorvex
