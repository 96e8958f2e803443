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
  EXPECT_EQ(Digits(0), "0");
}

}  // namespace
}  // namespace quorvex
