#include "app/request.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

TEST(ParseRequest, SplitsAtTheFirstCommaOnly) {
  const ParsedRequest request = ParseRequest("447775123456,a,b");
  EXPECT_EQ(request.status, RequestStatus::kValid);
  EXPECT_EQ(request.number, "447775123456");
  EXPECT_EQ(request.message, "a,b");
}

TEST(ParseRequest, KeepsBothPartsExactly) {
  const ParsedRequest request = ParseRequest("44abcd, Meet at 10_30 ");
  EXPECT_EQ(request.status, RequestStatus::kValid);
  EXPECT_EQ(request.number, "44abcd");
  EXPECT_EQ(request.message, " Meet at 10_30 ");
  EXPECT_EQ(ParseRequest("447775123456,").message, "");
}

TEST(ParseRequest, NothingOrOnlyBlanksIsEmpty) {
  EXPECT_EQ(ParseRequest("").status, RequestStatus::kEmpty);
  EXPECT_EQ(ParseRequest("   ").status, RequestStatus::kEmpty);
}

TEST(ParseRequest, RejectsWrongPrefixShortNumberOrNoComma) {
  for (const char* text :
       {"4477,hello", "44777,hello", "07775 123456,hello", "457775123456,hi", "+447775123456,hello",
        "447775123456", "\"447775123456,hi\"", " 447775123456,hi", "\t"}) {
    EXPECT_EQ(ParseRequest(text).status, RequestStatus::kInvalid) << text;
  }
  EXPECT_EQ(ParseRequest("447775,hello").status, RequestStatus::kValid);
}

// A control byte in the number would reach the service as a line of its own; a 7-bit line
// turns a byte from 0x80 up into another one (0x8D into CR).
TEST(ParseRequest, NumberOutsidePrintableAsciiIsInvalid) {
  for (const char* text : {"447775123456\r,hi",
                           "44777\x1f"
                           "5,hi",
                           "44777\x7f"
                           "5,hi",
                           "447775\x8d"
                           "ATH,hi",
                           "447775\xE2\x80\x8B"
                           "1,hi"}) {
    EXPECT_EQ(ParseRequest(text).status, RequestStatus::kInvalid) << text;
  }
}

TEST(ParseRequest, EachControlByteOfTheMessageBecomesABlank) {
  EXPECT_EQ(ParseRequest("447775123456,a\r\nb\tc\x1b\x7f\x1a\xe9").message, "a  b c   \xe9");
}

TEST(JoinArguments, JoinsWithSingleBlanks) {
  EXPECT_EQ(JoinArguments({"447775123456,Meet", "at", "", "10:30"}), "447775123456,Meet at  10:30");
  EXPECT_EQ(JoinArguments({}), "");
}

}  // namespace
}  // namespace quorvex
