#include "sim/pty_modem.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace quorvex::sim {
namespace {

int Check(int result, const std::string& what) {
  if (result < 0) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
  }
  return result;
}

timespec Timeout(double seconds) {
  const double whole = std::floor(seconds);
  return {static_cast<time_t>(whole), static_cast<long>((seconds - whole) * 1e9)};
}

// Made without following a link, and only where the file is new or our own: in a shared
// directory another user could otherwise have it truncate any file we may write.
Fd CreateOutput(const std::string& path) {
  Fd file(Check(
      ::open(path.c_str(),
             O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644),
      "cannot create " + path));
  struct stat info {};
  Check(::fstat(file.get(), &info), "cannot examine " + path);
  if (!S_ISREG(info.st_mode) || info.st_uid != ::geteuid() || info.st_nlink != 1) {
    throw std::runtime_error("refusing " + path + ": not a file of our own");
  }
  Check(::ftruncate(file.get(), 0), "cannot empty " + path);
  return file;
}

}  // namespace

PtyModem::PtyModem(const SimOptions& options) : options_(options), model_(options.model) {
  if (!options_.transcript.empty()) {
    transcript_.reset(::fdopen(CreateOutput(options_.transcript).release(), "w"));
    if (!transcript_) {
      Check(-1, "cannot write transcript " + options_.transcript);
    }
  }
  if (!options_.received.empty()) {
    received_ = CreateOutput(options_.received);
  }
  sigset_t stopping;
  sigemptyset(&stopping);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGPIPE}) {
    sigaddset(&stopping, signal);
  }
  sigprocmask(SIG_BLOCK, &stopping, nullptr);
  signals_.reset(Check(signalfd(-1, &stopping, SFD_CLOEXEC), "signalfd"));
  OpenTerminal();
  WatchTerminal();
  MakeLink();
}

// Another simulator may have taken the name since: only our own link goes.
PtyModem::~PtyModem() {
  char target[4096];
  const ssize_t length = linked_ ? ::readlink(options_.link.c_str(), target, sizeof target) : -1;
  if (length > 0 && std::string_view(target, static_cast<size_t>(length)) == device_) {
    ::unlink(options_.link.c_str());
  }
}

// The simulator keeps a slave descriptor of its own, so the terminal lives between calls.
void PtyModem::OpenTerminal() {
  master_.reset(Check(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK), "posix_openpt"));
  Check(grantpt(master_.get()), "grantpt");
  Check(unlockpt(master_.get()), "unlockpt");
  char name[128];
  if (ptsname_r(master_.get(), name, sizeof name) != 0) {
    Check(-1, "ptsname");
  }
  device_ = name;
  slave_.reset(Check(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC), "open " + device_));
  termios raw{};
  Check(tcgetattr(slave_.get(), &raw), "tcgetattr");
  cfmakeraw(&raw);
  Check(tcsetattr(slave_.get(), TCSANOW, &raw), "tcsetattr");
}

void PtyModem::WatchTerminal() {
  inotify_.reset(Check(inotify_init1(IN_CLOEXEC | IN_NONBLOCK), "inotify_init1"));
  Check(inotify_add_watch(inotify_.get(), device_.c_str(), IN_OPEN | IN_CLOSE),
        "inotify " + device_);
}

// symlink(2) fails on any existing name, so nothing of another user's is replaced.
void PtyModem::MakeLink() {
  Check(::symlink(device_.c_str(), options_.link.c_str()), "cannot link " + options_.link);
  linked_ = true;
}

void PtyModem::Run() {
  for (;;) {
    pollfd fds[] = {
        {signals_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}, {master_.get(), POLLIN, 0}};
    const std::optional<double> due = model_.NextDue();
    const timespec timeout = Timeout(due ? std::max(0.0, *due - Now()) : 3600);
    if (ppoll(fds, 3, &timeout, nullptr) < 0 && errno != EINTR) {
      Check(-1, "ppoll");
    }
    if (fds[0].revents != 0) {
      return;
    }
    // Opens and closes first: bytes that wait on the master belong to the newest opening.
    OnLineEvents();
    OnReceived();
    Send(model_.Tick(Now()));
  }
}

void PtyModem::OnLineEvents() {
  alignas(inotify_event) char buffer[4096];
  ssize_t count;
  while ((count = ::read(inotify_.get(), buffer, sizeof buffer)) > 0) {
    for (char* at = buffer; at < buffer + count;) {
      const auto* event = reinterpret_cast<const inotify_event*>(at);
      if (event->mask & IN_OPEN) {
        model_.LineOpened();
        Record("open", std::to_string(model_.attempt()));
      } else if (event->mask & IN_CLOSE) {
        model_.LineClosed();
        Record("close");
        RecordNotes();
      }
      at += sizeof(inotify_event) + event->len;
    }
  }
}

void PtyModem::OnReceived() {
  char buffer[4096];
  ssize_t count;
  while ((count = ::read(master_.get(), buffer, sizeof buffer)) > 0) {
    const std::string_view bytes(buffer, static_cast<size_t>(count));
    Record("recv", Escape(bytes));
    if (received_.valid()) {
      Check(static_cast<int>(::write(received_.get(), buffer, static_cast<size_t>(count))),
            "write to " + options_.received);
    }
    Send(model_.Receive(bytes, Now()));
  }
}

void PtyModem::Send(const std::string& bytes) {
  RecordNotes();
  if (bytes.empty()) {
    return;
  }
  Record("sent", Escape(bytes));
  const size_t piece = options_.pieces ? 3 : bytes.size();
  for (size_t sent = 0; sent < bytes.size();) {
    if (sent > 0 && options_.pieces) {
      const timespec gap = Timeout(0.01);
      ::nanosleep(&gap, nullptr);
    }
    const ssize_t written =
        ::write(master_.get(), bytes.data() + sent, std::min(piece, bytes.size() - sent));
    if (written < 0 && errno != EINTR && errno != EAGAIN) {
      Check(-1, "write to " + device_);
    }
    sent += written > 0 ? static_cast<size_t>(written) : 0;
  }
}

void PtyModem::RecordNotes() {
  for (const std::string& note : model_.TakeNotes()) {
    Record("note", note);
  }
}

void PtyModem::Record(std::string_view event, std::string_view detail) {
  if (!transcript_) {
    return;
  }
  std::fprintf(transcript_.get(), "%.6f %.*s%s%.*s\n", Now(), static_cast<int>(event.size()),
               event.data(), detail.empty() ? "" : " ", static_cast<int>(detail.size()),
               detail.data());
  std::fflush(transcript_.get());
}

double PtyModem::Now() const {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace quorvex::sim
