#include "base/clock.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include "base/stop_signals.h"

namespace quorvex {
namespace {

// Each stop signal ends a sleep of the run's clock (a retry pause) at once, with the stop
// naming it. In a child, since handlers and the signal mask are the process's own.
class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, EndsTheClocksSleepAtOnce) {
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    BlockStopSignals();
    ::kill(::getpid(), GetParam());  // held until the sleep lets it in
    SystemClock clock;
    try {
      clock.SleepUntil(clock.Now() + std::chrono::seconds(10));
    } catch (const RunError& stop) {
      ::_exit(stop.failure() == Failure::kStopped ? stop.number() : 0);
    }
    ::_exit(0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), GetParam());
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1,
                                           SIGUSR2),
                         [](const auto& info) { return std::string(::sigabbrev_np(info.param)); });

// The log is stamped in the machine's local time, not UTC (TZ is left unset afterwards).
TEST(SystemClock, GivesLocalTime) {
  ::setenv("TZ", "QRV-5", 1);
  ::tzset();
  std::tm local = SystemClock().LocalTime();
  EXPECT_NEAR(static_cast<double>(::timegm(&local) - std::time(nullptr)), 5 * 3600, 2);
  ::unsetenv("TZ");
  ::tzset();
}

}  // namespace
}  // namespace quorvex
