#include "app/run_history.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

#include "base/fd.h"
#include "testing/run_harness.h"

namespace quorvex {
namespace {

TEST(SyslogDatagram, HasTheFormSyslogSends) {
  EXPECT_EQ(SyslogDatagram(LOG_WARNING, FakeClock().LocalTime(), "quorvex", 4711, "to '44': x"),
            "<12>Mar  5 14:07:03 quorvex[4711]: to '44': x");
}

// A logger that reads nothing must not hold the run: the line is lost instead.
TEST(SyslogHistory, LosesTheLineWhenTheLoggerIsFull) {
  TestDir dir;
  const std::string path = (dir.path() / "log").string();
  const Fd logger(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, sizeof address.sun_path - 1);
  ASSERT_EQ(::bind(logger.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  SyslogHistory history(path);
  history.Record("first", LOG_INFO);
  char first[256] = {};
  ASSERT_GT(::recv(logger.get(), first, sizeof first - 1, MSG_DONTWAIT), 0);
  EXPECT_TRUE(std::string(first).ends_with(": first")) << first;
  for (int line = 0; line < 2000; ++line) {
    history.Record("filling a logger that never reads", LOG_INFO);  // would block if waiting
  }
}

}  // namespace
}  // namespace quorvex
