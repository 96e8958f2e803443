#include "spooler/monitor.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

using Kind = ModemState::Kind;

// The guidelines' ranges: which ages alert, and which texts are no range at all.
TEST(CheckPlugin, ReadsRangesAndOptionsAsTheGuidelinesHaveThem) {
  const auto alerts = [](const std::string& range, double value) {
    return ParseRange(range)->Alerts(value);
  };
  EXPECT_FALSE(alerts("10", 10));
  EXPECT_TRUE(alerts("10", 11));
  EXPECT_TRUE(alerts("10", -1));
  EXPECT_TRUE(alerts("10:", 9));
  EXPECT_FALSE(alerts("10:", 1e9));
  EXPECT_FALSE(alerts("~:10", -5));
  EXPECT_TRUE(alerts("~:10", 10.5));
  EXPECT_TRUE(alerts("10:20", 21));
  EXPECT_FALSE(alerts("10:20", 15));
  EXPECT_TRUE(alerts("@10:20", 10));
  EXPECT_FALSE(alerts("@10:20", 21));
  for (const char* bad : {"", "10m", "20:10", "@", "~", "1:2:3", "x:5", "inf", "nan"}) {
    EXPECT_FALSE(ParseRange(bad)) << bad;
  }
  using Args = std::vector<std::string>;
  const PluginRequest good = ParsePluginArguments({"-w", "~:60", "--critical", "600", "-t", "5"});
  EXPECT_EQ(good.misuse, "");
  EXPECT_EQ(good.options.warning.text, "~:60");
  EXPECT_EQ(good.options.critical.end, 600);
  EXPECT_EQ(good.options.timeout, 5);
  for (const Args& bad : {Args{"-w"}, Args{"-w", "10m"}, Args{"-w", "2000"}, Args{"-c", "10"},
                          Args{"-t", "0"}, Args{"-t", "1.5"}, Args{"-x"}, Args{"--check"}}) {
    EXPECT_NE(ParsePluginArguments(bad).misuse, "") << bad.back();
  }
  EXPECT_EQ(ParsePluginArguments({"-w", "700", "-c", "800"}).misuse, "");
  const PluginRequest joined = ParsePluginArguments({"--warning=@5:9", "-c900", "--timeout=3"});
  EXPECT_EQ(joined.misuse, "");
  EXPECT_EQ(joined.options.warning.text, "@5:9");
  EXPECT_EQ(joined.options.critical.end, 900);
  EXPECT_EQ(joined.options.timeout, 3);
  EXPECT_EQ(ParsePluginArguments({"-h", "-x"}).action, PluginAction::kHelp);
}

// The worst of the queue's age, failed items and the modem decides: a failing modem is
// critical, one nobody could look at unknown, and nothing from outside breaks the line.
TEST(CheckPlugin, JudgesTheWorstOfQueueAgeFailedItemsAndModem) {
  const ModemState answers{Kind::kAnswers, "modem answers"};
  const PluginOptions options;
  const auto status = [&](QueueState queue, ModemState modem) {
    return Judge(queue, modem, std::nullopt, options).status;
  };
  EXPECT_EQ(status({1, 0, 600}, answers), 0);
  EXPECT_EQ(status({1, 0, 601}, answers), 1);
  EXPECT_EQ(status({1, 0, 1801}, answers), 2);
  EXPECT_EQ(status({0, 2, 0}, answers), 1);
  EXPECT_EQ(status({0, 2, 0}, {Kind::kFailing, "modem on COM2 did not answer"}), 2);
  EXPECT_EQ(status({0, 2, 0}, {Kind::kUnknown, "modem not checked"}), 3);
  EXPECT_EQ(status({1, 0, 1801}, {Kind::kUnknown, "modem not checked"}), 2);
  EXPECT_EQ(Judge({0, 0, 0}, {Kind::kFailing, "modem answered 'ER|ROR\nX'"}, 3600, options).line,
            "QUORVEX CRITICAL - 0 queued, modem answered 'ER/ROR X', last accepted 1h ago | "
            "queued=0;;;0 oldest=0s;600;1800;0 failed=0;;;0 last_accepted=3600s;;;0");
}

// What a drain records for a check that may not look: the latest look, the latest acceptance
// kept across later failures, a refusal showing modem and service working, and nothing known
// of a modem nobody looked at for two hours.
TEST(CheckPlugin, TakesTheModemFromTheLatestLookWhileItIsNew) {
  StatusRecord record = WithLook({}, {LookKind::kDelivery, 1000, 0, false, ""});
  record = WithLook(record, {LookKind::kDelivery, 1100, 75, false, ""});
  EXPECT_EQ(FormatStatusRecord(record), "delivery 1100 75 0\naccepted 1000\n");
  record = ParseStatusRecord(FormatStatusRecord(record));
  EXPECT_EQ(record.accepted, 1000);
  EXPECT_EQ(ModemFromRecord(record, 1220).text,
            "the last delivery failed with exit status 75, 2m ago");
  record = WithLook(record, {LookKind::kDelivery, 1200, 75, true, ""});
  EXPECT_EQ(ModemFromRecord(ParseStatusRecord(FormatStatusRecord(record)), 1200).kind,
            Kind::kAnswers);
  record = WithLook(record, {LookKind::kCheck, 5000, 75, false, "modem on COM2 (/dev/x) said"});
  record = ParseStatusRecord(FormatStatusRecord(record));
  EXPECT_EQ(record.accepted, 1000);
  const ModemState checked = ModemFromRecord(record, 5000 + kLookExpiry);
  EXPECT_EQ(checked.kind, Kind::kFailing);
  EXPECT_EQ(checked.text, "modem on COM2 (/dev/x) said, 2h ago");
  EXPECT_EQ(ModemFromRecord(record, 5001 + kLookExpiry).kind, Kind::kUnknown);
  EXPECT_EQ(ModemFromRecord({}, 0).kind, Kind::kUnknown);
  EXPECT_FALSE(ParseStatusRecord("delivery x 0 0\ncheck 5\naccepted -1\n").latest);
}

}  // namespace
}  // namespace quorvex
