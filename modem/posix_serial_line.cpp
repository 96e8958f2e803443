#include "modem/posix_serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

#include "base/run_error.h"
#include "modem/line_settings.h"

namespace quorvex {
namespace {

constexpr char kSevenBits = 0x7F;

// Pseudo-terminals and some virtual ports have no modem-control lines.
bool LacksModemLines(int error) {
  return error == ENOTTY || error == EINVAL;
}

void AppendSevenBit(std::string& to, const char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    to += static_cast<char>(bytes[i] & kSevenBits);
  }
}

}  // namespace

void PosixSerialLine::Open(int16_t port) {
  if (fd_ >= 0) {
    throw std::logic_error("serial port " + Describe() + " opened twice");
  }
  ChooseDevice(port);
  const int fd = OpenDevice();
  RefuseIfExclusive(fd);
  LockPort(fd);
  fd_ = fd;
  if (::ioctl(fd_, TIOCEXCL) != 0) {
    throw OsError(errno, "Cannot take serial port " + Describe() + " for exclusive use");
  }
  ApplySettings();
  RaiseDtrAndRts();
  if (::tcflush(fd_, TCIFLUSH) != 0) {
    throw OsError(errno, "Cannot empty the receive buffer of serial port " + Describe());
  }
}

// A device that vanishes between attempts must fail the run, not bring in another device.
void PosixSerialLine::ChooseDevice(int16_t port) {
  portName_ = "COM" + std::to_string(port);
  if (!device_.empty()) {
    return;
  }
  if (port < 1) {
    throw RunError(ENODEV, "Serial port " + portName_ + " has no device: port numbers start at 1");
  }
  const std::filesystem::path link = exeDir_ / portName_;
  struct stat info {};
  device_ =
      ::lstat(link.c_str(), &info) == 0 ? link.string() : "/dev/ttyS" + std::to_string(port - 1);
}

int PosixSerialLine::OpenDevice() {
  const int fd = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == EBUSY) {
    ThrowInUse();
  }
  if (fd < 0) {
    throw OsError(errno, "Cannot open serial port " + Describe());
  }
  return fd;
}

// Root passes TIOCEXCL, so a port another program holds that way is asked about first, and
// let go untouched: no DTR drop, no flush.
void PosixSerialLine::RefuseIfExclusive(int fd) {
  int exclusive = 0;
  if (::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    ::close(fd);
    ThrowInUse();
  }
}

void PosixSerialLine::LockPort(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    return;
  }
  const int error = errno;
  ::close(fd);
  if (error == EWOULDBLOCK) {
    ThrowInUse();
  }
  throw OsError(error, "Cannot lock serial port " + Describe());
}

void PosixSerialLine::ApplySettings() {
  int lines = 0;
  const bool withoutModemLines = ::ioctl(fd_, TIOCMGET, &lines) != 0 && LacksModemLines(errno);
  termios current{};
  if (::tcgetattr(fd_, &current) != 0) {
    throw OsError(errno, "Cannot read the settings of serial port " + Describe());
  }
  const termios wanted = MakeLineTermios(current, withoutModemLines);
  const std::string asked = LineSettingsText(withoutModemLines);
  if (::tcsetattr(fd_, TCSANOW, &wanted) != 0) {
    throw OsError(errno, "Serial port " + Describe() + " refuses the settings " + asked);
  }
  termios applied{};
  if (::tcgetattr(fd_, &applied) != 0 || !SettingsTook(wanted, applied)) {
    throw RunError(EINVAL, "Serial port " + Describe() + " did not take the settings " + asked);
  }
}

void PosixSerialLine::RaiseDtrAndRts() {
  int lines = TIOCM_DTR | TIOCM_RTS;
  if (::ioctl(fd_, TIOCMBIS, &lines) != 0 && !LacksModemLines(errno)) {
    throw OsError(errno, "Cannot set DTR and RTS on serial port " + Describe());
  }
}

void PosixSerialLine::Close() {
  if (fd_ < 0) {
    return;
  }
  // Dropping DTR hangs the modem up; flushing keeps close from waiting on a held-off line.
  int dtr = TIOCM_DTR;
  ::ioctl(fd_, TIOCMBIC, &dtr);
  ::tcflush(fd_, TCIOFLUSH);
  ::ioctl(fd_, TIOCNXCL);
  ::flock(fd_, LOCK_UN);
  ::close(fd_);
  fd_ = -1;
  unsent_.clear();
  received_.clear();
}

void PosixSerialLine::Write(std::string_view text) {
  AppendSevenBit(unsent_, text.data(), text.size());
  SendPending();
}

std::string PosixSerialLine::ReadAll() {
  ReceiveAvailable();
  return std::exchange(received_, std::string());
}

void PosixSerialLine::WaitUntil(MonotonicTime deadline) {
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd line{fd_, static_cast<short>(POLLIN | (unsent_.empty() ? 0 : POLLOUT)), 0};
    const int ready = PollUntil(&line, 1, deadline);
    if (ready < 0 && errno != EINTR) {
      throw OsError(errno, "Cannot wait on serial port " + Describe());
    }
    if (ready <= 0) {
      continue;
    }
    CheckStillConnected(line.revents);
    if (line.revents & POLLIN) {
      ReceiveAvailable();
    }
    if (line.revents & POLLOUT) {
      SendPending();
    }
  }
}

void PosixSerialLine::SendPending() {
  size_t sent = 0;
  while (sent < unsent_.size()) {
    const ssize_t written = ::write(fd_, unsent_.data() + sent, unsent_.size() - sent);
    if (written > 0) {
      sent += static_cast<size_t>(written);
    } else if (written < 0 && errno == EAGAIN) {
      break;
    } else if (written < 0 && errno != EINTR) {
      throw OsError(errno, "Cannot write to serial port " + Describe());
    }
  }
  unsent_.erase(0, sent);
}

void PosixSerialLine::ReceiveAvailable() {
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(fd_, buffer, sizeof buffer);
    if (count > 0) {
      AppendSevenBit(received_, buffer, static_cast<size_t>(count));
    } else if (count == 0 || errno == EAGAIN) {
      return;
    } else if (errno != EINTR) {
      throw OsError(errno, "Cannot read from serial port " + Describe());
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
