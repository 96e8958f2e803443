#include <gtest/gtest.h>

#include "app/run_harness.h"

namespace quorvex {
namespace {

TEST(WriteTrace, DoesNothingBeforeTheLogIsOpen) {
  RunHarness run;
  frmQuorvex form({run.dir.path(), {}, run.notices, run.clock, run.line, run.history});
  EXPECT_NO_THROW(form.WriteTrace("not written"));
  EXPECT_FALSE(std::filesystem::exists(run.dir.path() / "Quorvex.log"));
}

}  // namespace
}  // namespace quorvex
