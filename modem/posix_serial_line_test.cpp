#include "modem/posix_serial_line.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <thread>

#include "modem/line_settings.h"
#include "testing/test.h"

namespace quorvex {
namespace {

// A pseudo-terminal linked as COM5 in a scratch directory: the test plays the modem on the
// master side, the line under test opens the slave through the link.
class OverAPty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(master_.valid());
    ASSERT_EQ(::grantpt(master_.get()) | ::unlockpt(master_.get()), 0);
    slavePath_ = ::ptsname(master_.get());
    std::filesystem::create_symlink(slavePath_, dir_.path() / "COM5");
  }

  // Reads from the master until `count` bytes came or the other side closed, no faster
  // than 9600 bit/s carry them, as a real line would.
  std::string ModemReads(size_t count) {
    const auto start = std::chrono::steady_clock::now();
    std::string bytes(count, '\0');
    size_t got = 0;
    for (ssize_t n; got < count && (n = ::read(master_.get(), &bytes[got], 96)) > 0;) {
      got += static_cast<size_t>(n);
      std::this_thread::sleep_until(start + got * std::chrono::microseconds(1042));
    }
    return bytes.substr(0, got);
  }
  void ModemSends(std::string_view bytes) {
    EXPECT_EQ(::write(master_.get(), bytes.data(), bytes.size()),
              static_cast<ssize_t>(bytes.size()));
  }
  // Writes as fast as the line takes it for `length`, never blocking once nobody reads.
  void ModemFloods(std::chrono::seconds length) {
    EXPECT_EQ(::fcntl(master_.get(), F_SETFL, O_RDWR | O_NONBLOCK), 0);
    const auto giveUp = std::chrono::steady_clock::now() + length;
    const std::string chunk(4096, 'y');
    while (std::chrono::steady_clock::now() < giveUp) {
      const ssize_t n = ::write(master_.get(), chunk.data(), chunk.size());
      pollfd room{master_.get(), POLLOUT, 0};
      ::poll(&room, n > 0 ? 0 : 1, 100);
    }
  }
  // Holds the slave open too, as another program would, and to read the terminal's state.
  const Fd& HoldSlave() {
    held_.reset(::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
    return held_;
  }
  std::string Described() const { return "COM5 (" + (dir_.path() / "COM5").string() + ")"; }
  // Sends, waits the full time from when the text has gone, and returns all that came.
  std::string Exchange(std::string_view text, int seconds) {
    line_.Write(text);
    const MonotonicTime deadline = line_.AwaitSent() + std::chrono::seconds(seconds);
    while (clock_.Now() < deadline) {
      line_.WaitUntil(deadline);
    }
    return line_.ReadAll();
  }

  Fd master_{::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)};
  Fd held_;
  std::string slavePath_;
  TestDir dir_;
  SystemClock clock_;
  PosixSerialLine line_{dir_.path(), clock_};
};

// A real port's framing, which a pty does not keep, is checked on the settings themselves.
TEST_F(OverAPty, AppliesTheLineSettingsAPtyKeeps) {
  termios applied{};
  ASSERT_EQ(::tcgetattr(HoldSlave().get(), &applied), 0);
  // So that the line must set them: a killed run must hang up, a carrier drop is no hang-up.
  applied.c_cflag &= ~(HUPCL | CLOCAL);
  ASSERT_EQ(::tcsetattr(held_.get(), TCSANOW, &applied), 0);
  line_.Open(5);
  ASSERT_EQ(::tcgetattr(held_.get(), &applied), 0);
  EXPECT_EQ(cfgetospeed(&applied), static_cast<speed_t>(B9600));
  constexpr tcflag_t kControl = CRTSCTS | HUPCL | CLOCAL;
  EXPECT_EQ(applied.c_cflag & kControl, kControl);
  EXPECT_EQ(MakeLineTermios(applied, false).c_cflag & (CSIZE | PARENB | PARODD), CS7 | PARENB);
  EXPECT_EQ(applied.c_lflag & (ICANON | ECHO | ISIG), 0U);
  EXPECT_EQ(applied.c_iflag & (ICRNL | IXON), 0U);
  EXPECT_EQ(applied.c_oflag & OPOST, 0U);
}

// An answer that came early is returned only after the full wait, behind what an earlier
// exchange left unread; the line carries the low seven bits of each byte, both ways.
TEST_F(OverAPty, ExchangeWaitsItsFullTimeAndReturnsAllThatCame) {
  line_.Open(5);
  ModemSends("LATE");
  std::thread modem([this] {
    EXPECT_EQ(ModemReads(3), "\x41\x7F\x0D");
    ModemSends("\r\n\xCF\xCB\r\n");
  });
  const MonotonicTime start = std::chrono::steady_clock::now();
  EXPECT_EQ(Exchange("\xC1\xFF\x0D", 1), "LATE\r\nOK\r\n");
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
  modem.join();
}

// Another program holds the port with a lock alone, or in exclusive mode (which root would
// pass), or another user owns the terminal (and could play the modem): it is left
// untouched, not a byte sent.
enum class Holder { kLock, kExclusive, kOtherUser };

class HeldPort : public OverAPty, public ::testing::WithParamInterface<Holder> {};

TEST_P(HeldPort, IsRefusedUntouched) {
  const int fd = HoldSlave().get();
  const Holder holder = GetParam();
  ASSERT_EQ(holder == Holder::kLock        ? ::flock(fd, LOCK_EX | LOCK_NB)
            : holder == Holder::kExclusive ? ::ioctl(fd, TIOCEXCL)
                                           : ::fchown(fd, 65534, static_cast<gid_t>(-1)),
            0);
  const RunError error = RunErrorOf([this] { line_.Open(5); });
  if (holder == Holder::kOtherUser) {
    EXPECT_EQ(error.description(), "Refusing serial port " + Described() + ": " + slavePath_ +
                                       " belongs to user nobody - make it belong to root or to "
                                       "the user who runs Quorvex");
    EXPECT_EQ(error.failure(), Failure::kSystem);
  } else {
    EXPECT_EQ(error.description(), "Serial port " + Described() + " is in use by another program");
    EXPECT_EQ(error.failure(), Failure::kPortInUse);
  }
  EXPECT_FALSE(line_.IsOpen());
  pollfd master{master_.get(), POLLIN, 0};
  EXPECT_EQ(::poll(&master, 1, 0), 0);
}

INSTANTIATE_TEST_SUITE_P(Pty, HeldPort,
                         ::testing::Values(Holder::kLock, Holder::kExclusive, Holder::kOtherUser));

// A text is still going out at 960 characters a second when handed over, behind what went
// before it: the answer's wait starts once it has gone, so an answer to its last byte counts.
// What comes in beyond 64 KiB in one exchange is read and dropped.
TEST_F(OverAPty, WaitsFromTheLastByteSentAndCapsAFlood) {
  line_.Open(5);
  const std::string text(5500, 'x');
  std::thread service([&] {
    EXPECT_EQ(ModemReads(text.size()), text);
    ModemSends("MESSAGE ACCEPTED");
  });
  line_.Write(text.substr(0, 2500));  // still going out when the rest is handed over
  EXPECT_EQ(Exchange(text.substr(2500), 2), "MESSAGE ACCEPTED");
  service.join();
  std::thread flood([&] { ModemFloods(std::chrono::seconds(2)); });
  EXPECT_EQ(Exchange("", 2).size(), 64U * 1024);
  flood.join();
}

// More than a pty holds goes out as the modem takes it; a line that takes nothing more is a
// run error once the last text's time has passed twice, not a run that waits forever.
TEST_F(OverAPty, SendsAsTheLineTakesAndGivesUpOnALineThatTakesNothing) {
  line_.Open(5);
  const std::string text(20000, 'x');
  line_.Write(text);
  std::thread modem([&] {
    std::string got(text.size(), '\0');
    size_t taken = 0;
    for (pollfd in{master_.get(), POLLIN, 0}; taken < got.size() && ::poll(&in, 1, 5000) > 0;) {
      taken += std::max<ssize_t>(::read(master_.get(), &got[taken], got.size() - taken), 0);
    }
    EXPECT_EQ(taken, text.size());
  });
  for (const MonotonicTime end = clock_.Now() + std::chrono::seconds(3); clock_.Now() < end;) {
    line_.WaitUntil(end);
  }
  modem.join();
  line_.Write(text);
  line_.Write("y");  // nobody reads now: it cannot go out within twice its time
  EXPECT_EQ(RunErrorOf([this] { line_.AwaitSent(); }).description(),
            "Serial port " + Described() + " did not send 1 bytes in time");
}

TEST_F(OverAPty, HangUpDuringAWaitIsARunError) {
  line_.Open(5);
  master_.reset();
  EXPECT_EQ(RunErrorOf([this] { Exchange("", 1); }).description(),
            "Serial port " + Described() + " was hung up");
}

// The line is the run's alone while open; closing hangs up, clears the exclusive flag, and
// forgets what came meanwhile.
TEST_F(OverAPty, ClosingHangsUpAndForgetsEverything) {
  HoldSlave();
  line_.Open(5);
  EXPECT_THROW(line_.Open(5), std::logic_error) << "a second opening would leak the first";
  int exclusive = -1;
  EXPECT_EQ(::ioctl(held_.get(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  ModemSends("BEFORE CLOSE");
  line_.Close();
  EXPECT_EQ(::ioctl(held_.get(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  ModemSends("WHILE CLOSED");
  line_.Open(5);
  EXPECT_EQ(line_.ReadAll(), "");
  held_.reset();
  line_.Close();
  pollfd master{master_.get(), POLLIN, 0};
  ASSERT_EQ(::poll(&master, 1, 0), 1);
  EXPECT_NE(master.revents & POLLHUP, 0);
}

// A port whose link vanishes between attempts, or dangles from the start (the modem
// unplugged), must not fall back to /dev/ttyS<N-1>; one that leads to a file is no port.
TEST_F(OverAPty, LaterOpeningsUseTheDeviceOfTheFirst) {
  const std::filesystem::path link = dir_.path() / "COM99";
  std::filesystem::create_symlink(slavePath_, link);
  line_.Open(99);
  line_.Close();
  std::filesystem::remove(link);
  EXPECT_EQ(RunErrorOf([this] { line_.Open(99); }).description(),
            "Cannot open serial port COM99 (" + link.string() + "): No such file or directory");
  std::filesystem::create_symlink("/dev/quorvex-unplugged", dir_.path() / "COM97");
  EXPECT_EQ(RunErrorOf([this] { PosixSerialLine(dir_.path(), clock_).Open(97); }).description(),
            "Cannot open serial port COM97 (" + (dir_.path() / "COM97").string() +
                "): No such file or directory");
  dir_.Lay("touch plain; ln -s plain COM96");
  EXPECT_EQ(RunErrorOf([this] { PosixSerialLine(dir_.path(), clock_).Open(96); }).description(),
            "Refusing serial port COM96 (" + (dir_.path() / "COM96").string() +
                "): " + (dir_.path() / "plain").string() + " is not a character device");
  // No COM98 link here, and no /dev/ttyS97 on any machine of ours.
  EXPECT_EQ(RunErrorOf([this] { PosixSerialLine(dir_.path(), clock_).Open(98); }).description(),
            "Cannot open serial port COM98 (/dev/ttyS97): No such file or directory");
}

}  // namespace
}  // namespace quorvex
