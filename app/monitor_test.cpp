#include "app/monitor.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

using Kind = ModemState::Kind;

// The worst of the queue's age, failed items and the modem decides, at the thresholds given;
// without a probe, what the last delivery recorded tells of the modem.
TEST(CheckPlugin, JudgesTheWorstOfQueueAgeFailedItemsAndModem) {
  const ModemState answers{Kind::kAnswers, "modem answers"};
  const auto status = [](QueueState queue, ModemState modem) {
    return Judge(queue, modem, 600, 1800).status;
  };
  EXPECT_EQ(status({1, 0, 600}, answers), 0);
  EXPECT_EQ(status({1, 0, 601}, answers), 1);
  EXPECT_EQ(status({1, 0, 1801}, answers), 2);
  EXPECT_EQ(status({0, 2, 0}, answers), 1);
  EXPECT_EQ(status({0, 2, 0}, {Kind::kFailing, "modem on COM2 did not answer"}), 2);
  // What a drain records for a check that may not probe: the last acceptance survives later
  // failures, and a refusal shows the modem and the service working.
  const std::string accepted = DeliveryRecord(std::nullopt, 1000, 0, false);
  const std::string failed = DeliveryRecord(accepted, 1100, 75, false);
  EXPECT_EQ(failed, "delivery 1100 75 0\naccepted 1000\n");
  EXPECT_EQ(ModemFromRecord(failed, 1220).text,
            "the last delivery failed with exit status 75, 2m ago");
  EXPECT_EQ(ModemFromRecord(DeliveryRecord(failed, 1200, 75, true), 1200).kind, Kind::kAnswers);
  EXPECT_EQ(ModemFromRecord(std::nullopt, 0).kind, Kind::kUnknown);
}

}  // namespace
}  // namespace quorvex
