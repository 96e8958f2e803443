#include "base/text.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(NumberTexts, SignOrBlankEmptyForZeroAndPlainDigits) {
  EXPECT_EQ(DigitsAfterSignOrBlank(5), " 5");
  EXPECT_EQ(DigitsAfterSignOrBlank(0), " 0");
  EXPECT_EQ(DigitsAfterSignOrBlank(-3), "-3");
  EXPECT_EQ(DigitsOrEmptyForZero(0), "");
  EXPECT_EQ(DigitsOrEmptyForZero(-12), "-12");
}

// What reaches a 7-bit line: its nearest ASCII, "?" for the rest, controls as blanks.
class SevenBit : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(SevenBit, IsWhatTheLineCanCarry) {
  EXPECT_EQ(SevenBitText(GetParam().first), GetParam().second);
}

INSTANTIATE_TEST_SUITE_P(Text, SevenBit,
                         ::testing::Values(std::pair{" Meet at 10_30~", " Meet at 10_30~"},
                                           std::pair{"a\rb\nc\td\x1b\x1f\x7fg", "a b c d   g"},
                                           std::pair{"K\xC4\x8D \xC3\x8D\xC3\xA9", "Kc Ie"},
                                           std::pair{"\xE2\x80\x93\xE2\x80\x99\xE2\x82\xAC",
                                                     "-'EUR"},
                                           std::pair{"caf\xE9_x \x8D\xFF", "caf?_x ??"},
                                           std::pair{"\xE4\xB8\xAD\xC3", "??"}));

}  // namespace
}  // namespace quorvex
