#include "modem/line_settings.h"

#include <gtest/gtest.h>

namespace quorvex {
namespace {

termios CookedTerminal() {
  termios cooked{};
  cooked.c_iflag = ICRNL | IXON | IXOFF | INLCR | IGNCR | ISTRIP | BRKINT;
  cooked.c_oflag = OPOST | ONLCR;
  cooked.c_lflag = ECHO | ECHOE | ICANON | ISIG | IEXTEN;
  cooked.c_cflag = CS8 | PARODD | CSTOPB;
  cooked.c_cc[VMIN] = 1;
  cooked.c_cc[VTIME] = 5;
  cfsetispeed(&cooked, B115200);
  cfsetospeed(&cooked, B115200);
  return cooked;
}

TEST(LineSettings, RawAt9600WithFlowControlAndNoBlockingReads) {
  const termios line = MakeLineTermios(CookedTerminal(), false);
  EXPECT_EQ(line.c_iflag & (ICRNL | IXON | IXOFF | INLCR | IGNCR | ISTRIP | BRKINT), 0U);
  EXPECT_EQ(line.c_oflag & OPOST, 0U);
  EXPECT_EQ(line.c_lflag & (ECHO | ECHOE | ICANON | ISIG | IEXTEN), 0U);
  const tcflag_t wanted = CRTSCTS | CREAD | CLOCAL | HUPCL;
  EXPECT_EQ(line.c_cflag & wanted, wanted);
  EXPECT_EQ(line.c_cc[VMIN], 0);
  EXPECT_EQ(line.c_cc[VTIME], 0);
  EXPECT_EQ(cfgetispeed(&line), static_cast<speed_t>(B9600));
  EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
}

TEST(LineSettings, SevenEvenOneOnARealPortEightNoneOneOnAVirtualOne) {
  const termios real = MakeLineTermios(CookedTerminal(), false);
  EXPECT_EQ(real.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), static_cast<tcflag_t>(CS7 | PARENB));
  const termios virtualPort = MakeLineTermios(CookedTerminal(), true);
  EXPECT_EQ(virtualPort.c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(virtualPort.c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
}

}  // namespace
}  // namespace quorvex
