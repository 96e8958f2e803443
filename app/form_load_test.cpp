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
  EXPECT_EQ(run.notices.notices.at(0).kind, NoticeKind::kCritical);
  EXPECT_EQ(run.history.lines.at(0).first,
            "configuration: Quorvex.INI doesn't exists in the application directory..; exit "
            "status 78");
}

// A line whose opening fails with something other than a RunError.
template <typename Exception>
class ThrowingLine final : public SerialLine {
 public:
  explicit ThrowingLine(Exception exception) : exception_(std::move(exception)) {}
  void Open(int16_t) override { throw exception_; }
  bool IsOpen() const override { return false; }
  std::string Device() const override { return ""; }
  void Close() override {}
  void Write(std::string_view) override {}
  std::string ReadAll() override { return ""; }
  void WaitUntil(MonotonicTime) override {}

 private:
  Exception exception_;
};

template <typename Exception>
void ExpectHandledAsRunError(Exception exception, const std::string& text) {
  RunHarness run;
  ThrowingLine<Exception> line(std::move(exception));
  run.dir.Write("Quorvex.ini", "COMPORT=2\nSMSPHONE=1\n");
  frmQuorvex form({run.dir.path(), {"447775123456,hi"}, run.notices, run.clock, line, run.history});
  EXPECT_EQ(form.Form_Load(), 74);
  EXPECT_EQ(run.Log().back(), "+0 " + text);
  EXPECT_EQ(run.notices.notices,
            (std::vector<RecordedNotice>{{text, NoticeKind::kPlain, std::nullopt}}));
}

TEST(FormLoad, EveryExceptionEndsInTheHandler) {
  ExpectHandledAsRunError(std::bad_alloc(),
                          "Error #12 (Out of memory) occurred during initialization...");
  ExpectHandledAsRunError(std::logic_error("opened twice"),
                          "Error #131 (Internal error: opened twice) occurred during "
                          "initialization...");
}

}  // namespace
}  // namespace quorvex
