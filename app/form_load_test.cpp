#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "testing/run_harness.h"

namespace quorvex {
namespace {

TEST(FormLoad, ConfigurationThatIsADirectoryCountsAsMissing) {
  RunHarness run;
  std::filesystem::create_directory(run.dir.path() / "Quorvex.ini");
  EXPECT_EQ(run.Run({"447775123456,hi"}), 78);
  EXPECT_TRUE(run.notices.said.at(0).starts_with("critical: "));
  EXPECT_EQ(run.history.lines.at(0).first,
            "configuration: Quorvex.INI doesn't exists in the application directory..; exit "
            "status 78");
}

// Failures other than run errors end in the one handler too, with the line closed.
TEST(FormLoad, EveryExceptionEndsInTheHandler) {
  const std::pair<std::exception_ptr, std::string> cases[] = {
      {std::make_exception_ptr(std::bad_alloc()), "Error #12 (Out of memory)"},
      {std::make_exception_ptr(std::logic_error("x")), "Error #131 (Internal error: x)"}};
  for (const auto& [failure, error] : cases) {
    RunHarness run;
    run.dir.Write("Quorvex.ini", "COMPORT=2\nSMSPHONE=1\n");
    run.line.FailOnWrite("AT&F", failure);
    EXPECT_EQ(run.Run({"447775123456,hi"}), 74);
    const std::string text = error + " occurred during initialization...";
    EXPECT_EQ(run.Log().back(), "+0 " + text);
    EXPECT_EQ(run.notices.said, std::vector<std::string>{text});
    EXPECT_FALSE(run.line.IsOpen());
  }
}

}  // namespace
}  // namespace quorvex
