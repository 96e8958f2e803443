#include "modem/line_settings.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

// tcsetattr succeeds when any one change took, so each setting must be read back.
TEST(SettingsTook, NoticesEachSettingThatDidNotTake) {
  const termios wanted = MakeLineTermios(termios{}, false);
  EXPECT_TRUE(SettingsTook(wanted, wanted));
  termios applied = wanted;
  cfsetospeed(&applied, B115200);
  EXPECT_FALSE(SettingsTook(wanted, applied));
  for (const tcflag_t lost : {tcflag_t{CS7}, tcflag_t{PARENB}, tcflag_t{CRTSCTS}}) {
    applied = wanted;
    applied.c_cflag &= ~lost;
    EXPECT_FALSE(SettingsTook(wanted, applied)) << lost;
  }
}

}  // namespace
}  // namespace quorvex
