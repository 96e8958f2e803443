#include <gtest/gtest.h>

#include "app/run_harness.h"

namespace quorvex {
namespace {

const char* const kExample = "ie. Quorvex 447775123456,This is a test message to 07775 123456";

class StopsBeforeDelivery : public ::testing::Test {
 protected:
  RunHarness run;
};

TEST_F(StopsBeforeDelivery, MissingConfigurationFile) {
  EXPECT_EQ(run.Run({"447775123456,hi"}), kExitConfig);
  EXPECT_EQ(run.Log(), (std::vector<std::string>{
                           "+0 Quorvex v1.0.0",
                           "+0 ERROR: Quorvex.INI not found in application directory - quitting"}));
  EXPECT_EQ(
      run.notices.notices,
      (std::vector<RecordedNotice>{{"Quorvex.INI doesn't exists in the application directory..",
                                    NoticeKind::kCritical, "Quorvex"}}));
  EXPECT_TRUE(run.line.events.empty());
}

TEST_F(StopsBeforeDelivery, ConfigurationThatIsADirectoryCountsAsMissing) {
  std::filesystem::create_directory(run.dir.path() / "Quorvex.ini");
  EXPECT_EQ(run.Run({"447775123456,hi"}), kExitConfig);
  EXPECT_EQ(run.notices.notices.at(0).kind, NoticeKind::kCritical);
}

TEST_F(StopsBeforeDelivery, BadMaxAttemptsReachesTheHandler) {
  run.dir.Write("Quorvex.ini", "COMPORT=2\nSMSPHONE=1\nMAXATTEMPTS=5x\n");
  EXPECT_EQ(run.Run({"447775123456,hi"}), kExitConfig);
  const std::string text =
      "Error #13 (Type mismatch: MAXATTEMPTS value '5X' is not a number) occurred during "
      "initialization...";
  EXPECT_EQ(run.Log().back(), "+0 " + text);
  EXPECT_EQ(run.notices.notices,
            (std::vector<RecordedNotice>{{text, NoticeKind::kPlain, std::nullopt}}));
}

TEST_F(StopsBeforeDelivery, EmptyRequestIsLoggedAndWarned) {
  run.dir.Write("Quorvex.ini", "COMPORT=2\nSMSPHONE=1\n");
  EXPECT_EQ(run.Run({" ", ""}), kExitBadRequest);
  EXPECT_EQ(run.Log().back(), "+0 WARNING: No SMS message to send specified on command line");
  EXPECT_EQ(run.notices.notices,
            (std::vector<RecordedNotice>{
                {"Please pass International format mobile number and message to send via SMS "
                 "on command line\n\n" +
                     std::string(kExample),
                 NoticeKind::kWarning, "Quorvex"}}));
}

TEST_F(StopsBeforeDelivery, InvalidRequestOnlyNotifies) {
  run.dir.Write("Quorvex.ini", "COMPORT=2\nSMSPHONE=1\n");
  EXPECT_EQ(run.Run({"4477,hello"}), kExitBadRequest);
  EXPECT_EQ(run.Log(), (std::vector<std::string>{"+0 Quorvex v1.0.0"}));
  EXPECT_EQ(run.notices.notices,
            (std::vector<RecordedNotice>{
                {"Command line is invalid - please use the form 'Quorvex <Intl. format mobile "
                 "no.>,<message to send>'\n\n" +
                     std::string(kExample),
                 NoticeKind::kPlain, std::nullopt}}));
  EXPECT_TRUE(run.line.events.empty());
}

}  // namespace
}  // namespace quorvex
