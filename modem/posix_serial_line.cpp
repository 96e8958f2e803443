#include "modem/posix_serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

#include "base/io.h"
#include "base/run_error.h"
#include "base/stop_signals.h"
#include "base/trusted_open.h"
#include "modem/line_settings.h"

// A pty has no UART, so no test here can show DTR dropped and the output flushed at close,
// the settings a UART refused, an open that waits for carrier or the modem status lines: each
// step says where it is done why it is done so, and is kept by review.
namespace quorvex {
namespace {

constexpr char kSevenBits = 0x7F;
// At 9600 bit/s a character of 10 bits (start, 7 data, parity, stop) takes 1/960 s.
constexpr auto kCharacterTime = std::chrono::nanoseconds(1'000'000'000 / 960);
// How often a wait for the output to drain asks the driver.
constexpr auto kDrainPoll = std::chrono::milliseconds(5);
// What one exchange keeps of the answer: more than 9600 bit/s carry in the longest wait
// (about 29 KB in 30 s), so every real answer is searched whole, and a flood through a
// faster bridge is read and dropped rather than held.
constexpr size_t kLongestAnswer = size_t{64} * 1024;

// Pseudo-terminals and some virtual ports have no modem-control lines.
bool LacksModemLines(int error) {
  return error == ENOTTY || error == EINVAL;
}

void AppendSevenBit(std::string& to, const char* bytes, size_t count) {
  to.reserve(to.size() + count);
  for (size_t i = 0; i < count; ++i) {
    to += static_cast<char>(bytes[i] & kSevenBits);
  }
}

}  // namespace

void PosixSerialLine::Open(int16_t port) {
  if (fd_.valid()) {
    throw std::logic_error("serial port " + Describe() + " opened twice");
  }
  ChooseDevice(port);
  Fd fd = OpenDevice();
  RefuseUntrustedDevice(fd);
  RefuseIfExclusive(fd);
  LockPort(fd);
  fd_ = std::move(fd);
  // Exclusive: no other program, root aside, may open the port while the run uses it.
  if (::ioctl(fd_.get(), TIOCEXCL) != 0) {
    throw LastOsError(
        [&] { return "Cannot take serial port " + Describe() + " for exclusive use"; });
  }
  ApplySettings();
  RaiseDtrAndRts();
  if (::tcflush(fd_.get(), TCIFLUSH) != 0) {
    throw LastOsError(
        [&] { return "Cannot empty the receive buffer of serial port " + Describe(); });
  }
}

// A device that vanishes between attempts must fail the run, not bring in another device.
void PosixSerialLine::ChooseDevice(int16_t port) {
  portName_ = "COM" + std::to_string(port);
  if (!device_.empty()) {
    return;
  }
  struct stat info {};
  const bool beside = ::lstat((exeDir_ / portName_).c_str(), &info) == 0;
  deviceDir_ = beside ? exeDir_ : std::filesystem::path("/dev");
  deviceName_ = beside ? portName_ : "ttyS" + std::to_string(port - 1);
  device_ = (deviceDir_ / deviceName_).string();
}

// Links are followed afresh on every opening, so a replugged adapter is found again.
// O_NONBLOCK: a port without carrier must not hold the run in open(); CLOCAL keeps it so.
Fd PosixSerialLine::OpenDevice() {
  OpenedFile device = OpenTrusted(deviceDir_, deviceName_,
                                  O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0, "serial port");
  reached_ = device.reached;
  if (!device.fd.valid() && device.error == EBUSY) {
    ThrowInUse();
  }
  if (!device.fd.valid()) {
    throw OsError(device.error, "Cannot open serial port " + Describe());
  }
  return std::move(device.fd);
}

// Real serial devices belong to root (group dialout). A terminal that another user owns,
// such as a pseudo-terminal left behind by a stopped soft modem, could be played by that
// user, who would read the message and answer as the service: nothing goes to it.
void PosixSerialLine::RefuseUntrustedDevice(const Fd& fd) {
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) {
    throw LastOsError([&] { return "Cannot examine serial port " + Describe(); });
  }
  // A soft modem's own user (iaxmodem's uucp) is such a user too: the admin makes the
  // device belong to root or to whoever runs Quorvex.
  const std::string foreign = ForeignOwner(info, reached_);
  const std::string doubt =
      !S_ISCHR(info.st_mode) ? reached_ + " is not a character device"
      : foreign.empty()      ? ""
                        : foreign + " - make it belong to root or to the user who runs Quorvex";
  if (!doubt.empty()) {
    throw RunError(EPERM, "Refusing serial port " + Describe() + ": " + doubt);
  }
}

// Root passes TIOCEXCL, so a port another program holds that way is asked about first, and
// let go untouched: no DTR drop, no flush.
void PosixSerialLine::RefuseIfExclusive(const Fd& fd) {
  int exclusive = 0;
  if (::ioctl(fd.get(), TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    ThrowInUse();
  }
}

// The exclusive flag alone does not keep out another root process; the lock does.
void PosixSerialLine::LockPort(const Fd& fd) {
  const int error = LockExclusive(fd.get());
  if (error == EWOULDBLOCK) {
    ThrowInUse();
  }
  if (error != 0) {
    throw OsError(error, "Cannot lock serial port " + Describe());
  }
}

void PosixSerialLine::ApplySettings() {
  int lines = 0;
  withoutModemLines_ = ::ioctl(fd_.get(), TIOCMGET, &lines) != 0 && LacksModemLines(errno);
  termios current{};
  if (::tcgetattr(fd_.get(), &current) != 0) {
    throw LastOsError([&] { return "Cannot read the settings of serial port " + Describe(); });
  }
  const termios wanted = MakeLineTermios(current, withoutModemLines_);
  const std::string asked = LineSettingsText(withoutModemLines_);
  if (::tcsetattr(fd_.get(), TCSANOW, &wanted) != 0) {
    throw LastOsError(
        [&] { return "Serial port " + Describe() + " refuses the settings " + asked; });
  }
  // tcsetattr succeeds when any one change took: a UART that cannot do 7E1 or RTS/CTS
  // would garble every exchange, so the settings are read back.
  termios applied{};
  if (::tcgetattr(fd_.get(), &applied) != 0 || !SettingsTook(wanted, applied)) {
    throw RunError(EINVAL, "Serial port " + Describe() + " did not take the settings " + asked);
  }
}

// The modem answers only while DTR is up (&D2 hangs up when it drops).
void PosixSerialLine::RaiseDtrAndRts() {
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (::ioctl(fd_.get(), TIOCMBIS, &lines) != 0 && !LacksModemLines(errno)) {
    throw LastOsError([&] { return "Cannot set DTR and RTS on serial port " + Describe(); });
  }
}

void PosixSerialLine::Close() {
  if (!fd_.valid()) {
    return;
  }
  // Dropping DTR hangs the modem up; flushing keeps close from waiting on a held-off line
  // (close would otherwise wait up to 30 s for output that CTS holds back).
  int dtr = TIOCM_DTR;
  ::ioctl(fd_.get(), TIOCMBIC, &dtr);
  ::tcflush(fd_.get(), TCIOFLUSH);
  ::ioctl(fd_.get(), TIOCNXCL);
  // Unlocked before the close: a descriptor this process passed on would keep the lock.
  ::flock(fd_.get(), LOCK_UN);
  fd_.reset();
  unsent_.clear();
  received_.clear();
}

void PosixSerialLine::Write(std::string_view text) {
  AppendSevenBit(unsent_, text.data(), text.size());
  lastWritten_ = text.size();
  writtenAt_ = clock_.Now();
  SendPending();
}

// A serial port's driver counts what it still holds (tcdrain would tell too, but blocks
// with no bound and no stop signal let in); a pseudo-terminal cannot tell, so the bytes
// count as gone when 9600 bit/s would have carried them, even if the run was stopped
// meanwhile. The UART's own FIFO (16 bytes, under 17 ms) is left to the wait that follows.
MonotonicTime PosixSerialLine::AwaitSent() {
  const MonotonicTime limit = writtenAt_ + 2 * lastWritten_ * kCharacterTime + kSentSlack;
  for (;;) {
    const MonotonicTime now = clock_.Now();
    if (unsent_.empty() && withoutModemLines_ && now >= sentBy_) {
      return std::max(sentBy_, writtenAt_);
    }
    if (unsent_.empty() && !withoutModemLines_ && OutputQueued() == 0) {
      return now;
    }
    if (now >= limit) {
      throw RunError(EIO, "Serial port " + Describe() + " did not send " +
                              std::to_string(lastWritten_) + " bytes in time");
    }
    WaitUntil(std::min(limit, withoutModemLines_ && unsent_.empty() ? sentBy_ : now + kDrainPoll));
  }
}

int PosixSerialLine::OutputQueued() {
  int queued = 0;
  if (::ioctl(fd_.get(), TIOCOUTQ, &queued) != 0) {
    throw LastOsError([&] { return "Cannot ask serial port " + Describe() + " for its output"; });
  }
  return queued;
}

std::string PosixSerialLine::ReadAll() {
  ReceiveAvailable();
  return std::exchange(received_, std::string());
}

void PosixSerialLine::WaitUntil(MonotonicTime deadline) {
  pollfd line{fd_.get(), static_cast<short>(POLLIN | (unsent_.empty() ? 0 : POLLOUT)), 0};
  const int ready = PollWithStopSignals(&line, 1, deadline - clock_.Now());
  if (ready < 0 && errno != EINTR) {
    throw LastOsError([&] { return "Cannot wait on serial port " + Describe(); });
  }
  if (ready <= 0) {
    return;
  }
  CheckStillConnected(line.revents);
  if (line.revents & POLLIN) {
    ReceiveAvailable();
  }
  if (line.revents & POLLOUT) {
    SendPending();
  }
}

void PosixSerialLine::SendPending() {
  size_t sent = 0;
  while (sent < unsent_.size()) {
    // Taken before the write: a run stopped right after it must not start the bytes later.
    const MonotonicTime handedOver = clock_.Now();
    const ssize_t written = ::write(fd_.get(), unsent_.data() + sent, unsent_.size() - sent);
    if (written > 0) {
      sent += static_cast<size_t>(written);
      sentBy_ = std::max(sentBy_, handedOver) + written * kCharacterTime;
    } else if (written < 0 && errno == EAGAIN) {
      break;
    } else if (written == 0 || errno != EINTR) {
      errno = written == 0 ? EIO : errno;  // a write that takes nothing would never end
      throw LastOsError([&] { return "Cannot write to serial port " + Describe(); });
    }
  }
  unsent_.erase(0, sent);
}

void PosixSerialLine::ReceiveAvailable() {
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(fd_.get(), buffer, sizeof buffer);
    if (count > 0) {
      const size_t room = kLongestAnswer - std::min(received_.size(), kLongestAnswer);
      AppendSevenBit(received_, buffer, std::min(static_cast<size_t>(count), room));
    } else if (count == 0 || errno == EAGAIN) {
      return;
    } else if (errno != EINTR) {
      throw LastOsError([&] { return "Cannot read from serial port " + Describe(); });
    }
  }
}

// A hung-up descriptor reports readiness forever; waiting on it would spin.
void PosixSerialLine::CheckStillConnected(short events) {
  if (events & (POLLHUP | POLLERR | POLLNVAL)) {
    throw RunError(EIO, "Serial port " + Describe() + " was hung up");
  }
}

void PosixSerialLine::ThrowInUse() {
  throw RunError(EBUSY, "Serial port " + Describe() + " is in use by another program",
                 Failure::kPortInUse);
}

std::string PosixSerialLine::Describe() const {
  return portName_ + " (" + device_ + ")";
}

}  // namespace quorvex
