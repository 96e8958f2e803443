#include "modem/posix_serial_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <utility>

#include "app/frm_quorvex.h"
#include "testing/notices_fake.h"
#include "testing/run_history_fake.h"
#include "testing/test_dir.h"

namespace quorvex {
namespace {

constexpr int16_t kPort = 5;

// A pseudo-terminal linked as COM5 in a scratch directory: the test plays the modem on the
// master side, the line under test opens the slave through the link.
class OverAPty : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    slavePath_ = ::ptsname(master_);
    std::filesystem::create_symlink(slavePath_, dir_.path() / "COM5");
    form_.settings.ComPort = kPort;
  }
  void TearDown() override { ::close(master_); }

  // Reads from the master until `count` bytes came or the other side closed.
  std::string ModemReads(size_t count) {
    std::string bytes;
    char buffer[256];
    while (bytes.size() < count) {
      const ssize_t got = ::read(master_, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (got <= 0) {
        break;
      }
      bytes.append(buffer, static_cast<size_t>(got));
    }
    return bytes;
  }
  void ModemSends(std::string_view bytes) {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Holds the slave open too, so that what the modem sends stays queued while the line is
  // closed, and so that the terminal's settings can be read.
  int HoldSlave() { return held_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }

  TestDir dir_;
  int master_ = -1;
  int held_ = -1;
  std::string slavePath_;
  RecordingNotices notices_;
  SystemClock clock_;
  PosixSerialLine line_{dir_.path(), clock_};
  RecordingHistory history_;
  frmQuorvex form_{{dir_.path(), {}, notices_, clock_, line_, history_}};
};

double SecondsSince(MonotonicTime start) {
  return Seconds(std::chrono::steady_clock::now() - start).count();
}

TEST_F(OverAPty, AppliesTheLineSettingsAPtyKeeps) {
  ASSERT_GE(HoldSlave(), 0);
  termios before{};
  ASSERT_EQ(::tcgetattr(held_, &before), 0);
  before.c_cflag &= ~HUPCL;  // so that the line must set it: a killed run must hang up
  ASSERT_EQ(::tcsetattr(held_, TCSANOW, &before), 0);
  form_.OpenLine();
  termios applied{};
  ASSERT_EQ(::tcgetattr(held_, &applied), 0);
  EXPECT_EQ(applied.c_cflag & HUPCL, static_cast<tcflag_t>(HUPCL));
  EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B9600));
  EXPECT_EQ(applied.c_cflag & CRTSCTS, static_cast<tcflag_t>(CRTSCTS));
  EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG), 0U);
  EXPECT_EQ(applied.c_iflag & (ICRNL | IXON), 0U);
  EXPECT_EQ(applied.c_oflag & OPOST, 0U);
  ::close(held_);
}

TEST_F(OverAPty, EarlyAnswerComesBackOnlyAfterTheFullWait) {
  form_.OpenLine();
  std::thread modem([this] {
    ModemReads(3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the modem's answer time
    ModemSends("\r\nOK\r\n");
  });
  const MonotonicTime start = std::chrono::steady_clock::now();
  EXPECT_EQ(form_.SMS("AT\r", 1), "\r\nOK\r\n");
  EXPECT_GE(SecondsSince(start), 1.0);
  modem.join();
}

TEST_F(OverAPty, UnreadTextComesInFrontOfTheNextAnswer) {
  form_.OpenLine();
  ModemSends("LATE");
  std::thread modem([this] {
    ModemReads(3);
    ModemSends("NEW");
  });
  EXPECT_EQ(form_.SMS("AT\r", 1), "LATENEW");
  modem.join();
}

TEST_F(OverAPty, NothingSurvivesACloseAndReopen) {
  ASSERT_GE(HoldSlave(), 0);
  form_.OpenLine();
  ModemSends("BEFORE CLOSE");
  form_.CloseLine();
  ModemSends("WHILE CLOSED");
  form_.OpenLine();  // the same pty again, as the next attempt opens it
  EXPECT_EQ(line_.ReadAll(), "");
  ::close(held_);
}

TEST_F(OverAPty, KeepsTheLowSevenBitsBothWays) {
  form_.OpenLine();
  line_.Write("\xC1\xFF\x0D");
  EXPECT_EQ(ModemReads(3), "\x41\x7F\x0D");
  ModemSends("\xCF\xCB");
  EXPECT_EQ(form_.SMS("", 1), "OK");
}

// Another root program that only locks the port (root passes TIOCEXCL) still holds it.
TEST_F(OverAPty, PortLockedByAnotherProgramIsRefusedAsInUse) {
  ASSERT_GE(HoldSlave(), 0);
  ASSERT_EQ(::flock(held_, LOCK_EX | LOCK_NB), 0);
  try {
    form_.OpenLine();
    FAIL() << "opened a port that is in use";
  } catch (const RunError& error) {
    EXPECT_EQ(error.description(), "Serial port COM5 (" + (dir_.path() / "COM5").string() +
                                       ") is in use by another program");
    EXPECT_EQ(error.failure(), Failure::kPortInUse);
  }
  EXPECT_FALSE(line_.IsOpen());
  ::close(held_);
}

// What the line cannot take at once goes out during the wait; what comes in beyond 64 KiB
// in one exchange is read and dropped.
TEST_F(OverAPty, LongTextGoesOutAndAFloodIsCapped) {
  form_.OpenLine();
  const std::string text(64 * 1024, 'x');
  std::thread reader([&] { EXPECT_EQ(ModemReads(text.size()).size(), text.size()); });
  EXPECT_EQ(form_.SMS(text, 1).size(), 0U);
  reader.join();
  std::thread flood([&] {
    for (int chunk = 0; chunk < 64; ++chunk) {
      ModemSends(std::string(4096, 'y'));
    }
  });
  EXPECT_EQ(form_.SMS("", 1).size(), 64U * 1024);
  flood.join();
}

TEST_F(OverAPty, HangUpDuringAWaitIsARunError) {
  form_.OpenLine();
  ::close(std::exchange(master_, -1));
  try {
    form_.SMS("", 1);
    FAIL() << "waited on a hung-up line";
  } catch (const RunError& error) {
    EXPECT_EQ(error.description(),
              "Serial port COM5 (" + (dir_.path() / "COM5").string() + ") was hung up");
  }
}

// A port whose link vanishes between attempts must not fall back to /dev/ttyS<N-1>.
TEST_F(OverAPty, LaterOpeningsUseTheDeviceOfTheFirst) {
  const std::filesystem::path link = dir_.path() / "COM99";
  std::filesystem::create_symlink(slavePath_, link);
  line_.Open(99);
  line_.Close();
  std::filesystem::remove(link);
  try {
    line_.Open(99);
    FAIL() << "opened COM99 without its link";
  } catch (const RunError& error) {
    EXPECT_EQ(error.description(),
              "Cannot open serial port COM99 (" + link.string() + "): No such file or directory");
  }
}

TEST_F(OverAPty, ClosingIsSeenByTheOtherSide) {
  form_.OpenLine();
  EXPECT_THROW(form_.OpenLine(), std::logic_error) << "a second opening would leak the first";
  form_.CloseLine();
  pollfd master{master_, POLLIN, 0};
  ASSERT_EQ(::poll(&master, 1, 0), 1);
  EXPECT_NE(master.revents & POLLHUP, 0);
  EXPECT_FALSE(line_.IsOpen());
}

TEST(PortDevice, MissingDeviceAndPortsBelowOneAreNamed) {
  TestDir dir;
  SystemClock clock;
  PosixSerialLine line(dir.path(), clock);
  try {
    line.Open(99);  // no COM99 link here, and no /dev/ttyS98 on any machine of ours
    FAIL() << "opened COM99";
  } catch (const RunError& error) {
    EXPECT_EQ(error.number(), ENOENT);
    EXPECT_EQ(error.description(),
              "Cannot open serial port COM99 (/dev/ttyS98): No such file or directory");
  }
  try {
    PosixSerialLine(dir.path(), clock).Open(-2);
    FAIL() << "opened COM-2";
  } catch (const RunError& error) {
    EXPECT_EQ(error.description(), "Serial port COM-2 has no device: port numbers start at 1");
  }
}

}  // namespace
}  // namespace quorvex
