#include "trace/run_history.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>

#include "base/fd.h"
#include "testing/fakes.h"
#include "testing/test.h"

namespace quorvex {
namespace {

// Each line goes as syslog(3) sends it, tagged for journalctl -t quorvex and stamped by the
// run's clock; a logger that reads nothing must not hold the run: the line is lost instead.
// A huge number is cut as error texts cut values: a datagram too large would be lost.
TEST(SyslogHistory, SendsTaggedLinesThatFitADatagramAndLosesThemWhenTheLoggerIsFull) {
  EXPECT_EQ(HistoryLine(std::string(250000, '4'), "accepted", 1, 0),
            "to '" + std::string(40, '4') + "...': accepted; attempts 1; exit status 0");
  TestDir dir;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  (dir.path() / "log").string().copy(address.sun_path, sizeof address.sun_path - 1);
  const auto* to = reinterpret_cast<const sockaddr*>(&address);
  const Fd logger(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::bind(logger.get(), to, sizeof address), 0);
  FakeClock clock;
  SyslogHistory history(clock, address.sun_path);
  history.Record("first", LOG_WARNING);
  char line[256] = {};
  ASSERT_GT(::recv(logger.get(), line, sizeof line - 1, MSG_DONTWAIT), 0);
  EXPECT_EQ(std::string(line),
            "<12>Mar  5 14:07:03 quorvex[" + std::to_string(::getpid()) + "]: first");
  const Fd filler(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  while (::sendto(filler.get(), "x", 1, MSG_DONTWAIT, to, sizeof address) == 1) {
  }
  history.Record("lost", LOG_INFO);
  for (ssize_t count; (count = ::recv(logger.get(), line, sizeof line, MSG_DONTWAIT)) > 0;) {
    EXPECT_EQ(count, 1);
  }
}

}  // namespace
}  // namespace quorvex
