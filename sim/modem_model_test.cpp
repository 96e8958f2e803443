#include "sim/modem_model.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "sim/options.h"

namespace quorvex::sim {
namespace {

// One call through the simulated modem: init, dial, number, message, final CR.
struct Call {
  explicit Call(ModelConfig config) : model(config) {}

  std::string Dial(double now = 0) {
    model.LineOpened();
    std::string answers = model.Receive("AT&FE0V1&C1&D2S0=0\r", now);
    answers += model.Receive("ATDT9,0123\r", now);
    return answers + model.Tick(now + 100);
  }

  ModemModel model;
};

TEST(ModemModel, EarlyAcceptanceAnswersTheMessagesFirstByte) {
  Call call({.later = {.acceptance = Acceptance::kEarly}});
  call.Dial();
  call.model.Receive("447775123456\r", 0);
  EXPECT_EQ(call.model.Receive("Hi", 0), "\r\nMESSAGE ACCEPTED\r\n");
  EXPECT_EQ(call.model.Receive("\r", 0), "");
}

TEST(ModemModel, FirstAttemptsBehaveDifferently) {
  Call call({.later = {},
             .first = {.modem = ModemAnswer::kSilent, .dial = DialAnswer::kBusy},
             .firstAttempts = 2});
  EXPECT_EQ(call.Dial(), "");
  call.model.LineClosed();
  EXPECT_EQ(call.Dial(), "");
  call.model.LineClosed();
  EXPECT_EQ(call.Dial(), "\r\nOK\r\n\r\nCONNECT 9600\r\n");
}

TEST(ModemModel, OtherDialAnswersStayInCommandMode) {
  for (const auto& [dial, word] : std::vector<std::pair<DialAnswer, std::string>>{
           {DialAnswer::kBusy, "\r\nBUSY\r\n"},
           {DialAnswer::kNoCarrier, "\r\nNO CARRIER\r\n"},
           {DialAnswer::kNoDialTone, "\r\nNO DIAL TONE\r\n"},
           {DialAnswer::kSilent, ""}}) {
    Call call({.later = {.dial = dial}});
    EXPECT_EQ(call.Dial(), "\r\nOK\r\n" + word);
    EXPECT_EQ(call.model.Receive("ATZ\r", 200), "\r\nOK\r\n");
  }
  Call failing({.later = {.modem = ModemAnswer::kError}});
  EXPECT_EQ(failing.Dial(), "\r\nERROR\r\n\r\nERROR\r\n");
}

TEST(ModemModel, DroppedCallLeavesTheModemTakingCommands) {
  Call afterConnect({.later = {.drop = Drop::kAfterConnect}});
  EXPECT_EQ(afterConnect.Dial(), "\r\nOK\r\n\r\nCONNECT 9600\r\n\r\nNO CARRIER\r\n");
  EXPECT_EQ(afterConnect.model.Receive("ATZ\r", 200), "\r\nOK\r\n");
  Call afterNumber({.later = {.drop = Drop::kAfterNumber}});
  afterNumber.Dial();
  EXPECT_EQ(afterNumber.model.Receive("447775123456\r", 200), "\r\nNO CARRIER\r\n");
  EXPECT_EQ(afterNumber.model.Receive("ATDT0900\r", 200), "");
  EXPECT_EQ(afterNumber.model.TakeNotes().back(), "dial \"0900\"");
}

TEST(SimOptions, ParsesBehavioursAndDefaultsTheFirstAttemptsToTheLaterOnes) {
  const SimOptions options =
      ParseOptions({"--link", "/tmp/x/COM2", "--dial", "no-carrier", "--first", "1",
                    "--first-accept", "never", "--dial-delay", "0.5"});
  EXPECT_EQ(options.link, "/tmp/x/COM2");
  EXPECT_EQ(options.model.later.dial, DialAnswer::kNoCarrier);
  EXPECT_EQ(options.model.first.dial, DialAnswer::kNoCarrier);
  EXPECT_EQ(options.model.first.acceptance, Acceptance::kNever);
  EXPECT_EQ(options.model.later.acceptance, Acceptance::kOnFinalCr);
  EXPECT_EQ(options.model.dialDelay, 0.5);
  EXPECT_THROW(ParseOptions({"--dial", "connect"}), std::invalid_argument);
  EXPECT_THROW(ParseOptions({"--link", "x", "--modem", "loud"}), std::invalid_argument);
  EXPECT_THROW(ParseOptions({"--link", "x", "--dial-delay", "-1"}), std::invalid_argument);
}

TEST(Escape, ShowsControlAndHighBytes) {
  EXPECT_EQ(Escape("A\r\n\"\\\x01\xC1"), "\"A\\r\\n\\\"\\\\\\x01\\xC1\"");
}

}  // namespace
}  // namespace quorvex::sim
