#include "modem/posix_serial_line.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "app/run_error.h"
#include "modem/line_settings.h"

namespace quorvex {
namespace {

constexpr char kSevenBits = 0x7F;

std::string DeviceForPort(const std::filesystem::path& exeDir, int port) {
  const std::filesystem::path link = exeDir / ("COM" + std::to_string(port));
  struct stat info {};
  if (::lstat(link.c_str(), &info) == 0) {
    return link.string();
  }
  return "/dev/ttyS" + std::to_string(port - 1);
}

// Pseudo-terminals and some virtual ports have no modem-control lines.
bool LacksModemLines(int error) {
  return error == ENOTTY || error == EINVAL;
}

// poll lets its timer fire up to 0.1% of the timeout late (30 ms on a 30 s wait). Waking a
// little early and polling again for the rest keeps a wait within the usual timer slack.
timespec PollTimeout(std::chrono::nanoseconds remaining) {
  if (remaining > std::chrono::milliseconds(1)) {
    remaining -= remaining / 500;
  }
  return ToTimespec(remaining);
}

void AppendSevenBit(std::string& to, const char* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    to += static_cast<char>(bytes[i] & kSevenBits);
  }
}

}  // namespace

void PosixSerialLine::Open(int16_t port) {
  const int fd = OpenDevice(port);
  TakeForThisRun(fd);
  fd_ = fd;
  if (::ioctl(fd_, TIOCEXCL) != 0) {
    throw OsError(errno, "Cannot take serial port " + Describe() + " for exclusive use");
  }
  ApplySettings();
  ChangeModemLines(TIOCMBIS, TIOCM_DTR | TIOCM_RTS);
  if (::tcflush(fd_, TCIFLUSH) != 0) {
    throw OsError(errno, "Cannot empty the receive buffer of serial port " + Describe());
  }
}

int PosixSerialLine::OpenDevice(int16_t port) {
  portName_ = "COM" + std::to_string(port);
  if (port < 1) {
    throw RunError(ENODEV, "Serial port " + portName_ + " has no device: port numbers start at 1",
                   kExitIoError);
  }
  device_ = DeviceForPort(exeDir_, port);
  const int fd = ::open(device_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == EBUSY) {
    throw RunError(EBUSY, "Serial port " + Describe() + " is in use by another program",
                   kExitNotDelivered);
  }
  if (fd < 0) {
    throw OsError(errno, "Cannot open serial port " + Describe());
  }
  return fd;
}

// Another program's port is let go untouched: no DTR drop, no flush.
void PosixSerialLine::TakeForThisRun(int fd) {
  if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
    return;
  }
  const int error = errno;
  ::close(fd);
  if (error == EWOULDBLOCK) {
    throw RunError(EBUSY, "Serial port " + Describe() + " is in use by another program",
                   kExitNotDelivered);
  }
  throw OsError(error, "Cannot lock serial port " + Describe());
}

void PosixSerialLine::ApplySettings() {
  int lines = 0;
  const bool virtualPort = ::ioctl(fd_, TIOCMGET, &lines) != 0 && LacksModemLines(errno);
  termios current{};
  if (::tcgetattr(fd_, &current) != 0) {
    throw OsError(errno, "Cannot read the settings of serial port " + Describe());
  }
  const termios wanted = MakeLineTermios(current, virtualPort);
  if (::tcsetattr(fd_, TCSANOW, &wanted) != 0) {
    throw OsError(errno, "Serial port " + Describe() + " refuses the settings 9600,E,7,1");
  }
}

void PosixSerialLine::ChangeModemLines(unsigned long request, int lines) {
  if (::ioctl(fd_, request, &lines) != 0 && !LacksModemLines(errno)) {
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
  for (auto now = std::chrono::steady_clock::now(); now < deadline;
       now = std::chrono::steady_clock::now()) {
    pollfd line{fd_, static_cast<short>(POLLIN | (unsent_.empty() ? 0 : POLLOUT)), 0};
    const timespec timeout = PollTimeout(deadline - now);
    const int ready = ::ppoll(&line, 1, &timeout, nullptr);
    if (ready < 0 && errno != EINTR) {
      throw OsError(errno, "Cannot wait on serial port " + Describe());
    }
    if (ready <= 0) {
      continue;
    }
    if (line.revents & POLLIN) {
      ReceiveAvailable();
    }
    if (line.revents & POLLOUT) {
      SendPending();
    }
    CheckStillConnected(line.revents);
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
    throw RunError(EIO, "Serial port " + Describe() + " was hung up", kExitIoError);
  }
}

std::string PosixSerialLine::Describe() const {
  return portName_ + " (" + device_ + ")";
}

}  // namespace quorvex
