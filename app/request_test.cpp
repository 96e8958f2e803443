#include "app/request.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(ParseRequest, SplitsAtTheFirstCommaAndKeepsBothPartsExactly) {
  const ParsedRequest request = ParseRequest("44abcd, Meet at 10_30,a ");
  EXPECT_EQ(request.status, RequestStatus::kValid);
  EXPECT_EQ(request.number, "44abcd");
  EXPECT_EQ(request.message, " Meet at 10_30,a ");
  EXPECT_EQ(ParseRequest("447775123456,").message, "");
  EXPECT_EQ(ParseRequest("447775123456,a\r\nb\tc\x1b\x7f\xe9").message, "a  b c  \xe9");
  EXPECT_EQ(ParseRequest("   ").status, RequestStatus::kEmpty);
  EXPECT_EQ(JoinArguments({"447775123456,Meet", "at", "", "10:30"}), "447775123456,Meet at  10:30");
}

// A control byte in the number would reach the service as a line of its own; a 7-bit line
// turns a byte from 0x80 up into another one (0x8D into CR).
TEST(ParseRequest, RejectsWrongPrefixShortNumberNoCommaOrNonAscii) {
  for (const std::string text :
       {"4477,hello", "44777,hello", "07775 123456,hi", "457775123456,hi", "+447775123456,hi",
        "447775123456", "\"447775123456,hi\"", " 447775123456,hi", "\t", "447775123456\r,hi",
        "447775\x1f,hi", "447775\x7f,hi", "447775\x8d,ATH,hi", "447775\xE2\x80\x8B,hi"}) {
    EXPECT_EQ(ParseRequest(text).status, RequestStatus::kInvalid) << text;
  }
  EXPECT_EQ(ParseRequest("447775,hello").status, RequestStatus::kValid);
}

}  // namespace
}  // namespace quorvex
