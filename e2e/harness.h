#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <regex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "base/fd.h"
#include "testing/test.h"

namespace quorvex::e2e {

struct Outcome {
  int status = -1;  // the exit status, or 128 + the signal that killed the process
  std::string out;
  std::string err;
};

// How a process is started, besides its arguments; by default with no input and its
// standard output and error on pipes.
struct StartOptions {
  bool closeStandardOutputs = false;      // as some daemons start their children
  bool errorReaderGone = false;           // standard error on a pipe nobody reads any more
  bool outputFull = false;                // standard output on /dev/full
  std::optional<rlim_t> fileSizeLimit{};  // RLIMIT_FSIZE, in bytes
  std::vector<int> ignored{};             // signals set to SIG_IGN, as nohup does
  std::vector<int> blocked{};             // signals blocked, as some callers leave them
};

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Laying out trees owned by others, and running as a member of dialout, take root.
inline void SkipUnlessRoot() {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "the end-to-end tests run as root";
  }
}

// Reads both pipes to their ends together: a child that fills one while the other is read
// to its end would never finish.
inline void ReadBoth(Fd& out, std::string& outText, Fd& err, std::string& errText) {
  pollfd pipes[] = {{out.get(), POLLIN, 0}, {err.get(), POLLIN, 0}};
  std::string* texts[] = {&outText, &errText};
  while (pipes[0].fd >= 0 || pipes[1].fd >= 0) {
    ::poll(pipes, 2, -1);
    for (int i = 0; i < 2; ++i) {
      char buffer[4096];
      const ssize_t count = pipes[i].revents != 0 ? ::read(pipes[i].fd, buffer, sizeof buffer) : -1;
      if (count > 0) {
        texts[i]->append(buffer, static_cast<size_t>(count));
      } else if (pipes[i].revents != 0) {
        pipes[i].fd = -1;
      }
    }
  }
}

// The state letter of process `pid` in /proc/PID/stat ('T' when stopped), '?' if gone.
inline char ProcessState(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(stat, line);
  const size_t end = line.rfind(") ");
  return end == std::string::npos ? '?' : line[end + 2];
}

// Whether `ready` came true within `seconds`, asked every millisecond.
template <typename Ready>
bool Within(double seconds, Ready ready) {
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > giveUp) {
      return false;
    }
    ::poll(nullptr, 0, 1);
  }
  return true;
}

// Sets the child up as `options` say; false when a step failed.
inline bool PrepareChild(const StartOptions& options, int out, int err) {
  int gone[2];
  if (options.errorReaderGone && (::pipe(gone) != 0 || ::close(gone[0]) != 0)) {
    return false;
  }
  const int output = options.outputFull ? ::open("/dev/full", O_WRONLY | O_CLOEXEC) : out;
  bool done = ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO) == STDIN_FILENO &&
              ::dup2(output, STDOUT_FILENO) == STDOUT_FILENO &&
              ::dup2(options.errorReaderGone ? gone[1] : err, STDERR_FILENO) == STDERR_FILENO;
  if (options.closeStandardOutputs) {
    done = done && ::close(STDOUT_FILENO) == 0 && ::close(STDERR_FILENO) == 0;
  }
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signal : options.blocked) {
    sigaddset(&blocked, signal);
  }
  done = done && ::sigprocmask(SIG_SETMASK, &blocked, nullptr) == 0;
  for (int signal : options.ignored) {
    done = done && ::signal(signal, SIG_IGN) != SIG_ERR;
  }
  if (options.fileSizeLimit) {
    const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
    done = done && ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  return done;
}

// A started program; it is killed if the test leaves before it ends.
class Started {
 public:
  Started(const std::string& program, const std::vector<std::string>& arguments,
          const StartOptions& options = {}) {
    int out[2];
    int err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
      throw std::runtime_error("cannot make the pipes to " + program);
    }
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ < 0) {
      throw std::runtime_error("cannot fork");
    }
    if (pid_ == 0) {
      if (!PrepareChild(options, out[1], err[1])) {
        constexpr std::string_view kFailed = "test harness: cannot set the child up\n";
        [[maybe_unused]] const ssize_t told = ::write(err[1], kFailed.data(), kFailed.size());
        ::_exit(125);
      }
      ::execv(program.c_str(), argv.data());
      ::_exit(127);
    }
    const Fd childOut(out[1]);  // the child's ends, closed here
    const Fd childErr(err[1]);
    out_.reset(out[0]);
    err_.reset(err[0]);
  }
  ~Started() {
    if (pid_ > 0) {
      Signal(SIGKILL);
      Wait();
    }
  }
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;

  void Signal(int signal) const { ::kill(pid_, signal); }
  pid_t pid() const { return pid_; }
  std::string ReadLine() {
    std::string line;
    for (char c; !line.ends_with('\n') && ::read(out_.get(), &c, 1) == 1;) {
      line += c;
    }
    return line;
  }
  // Waits for the end; collects both outputs and the status.
  Outcome Wait() {
    Outcome outcome;
    ReadBoth(out_, outcome.out, err_, outcome.err);
    int status = 0;
    ::waitpid(std::exchange(pid_, -1), &status, 0);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return outcome;
  }

 private:
  Fd out_;
  Fd err_;
  pid_t pid_ = -1;
};

// A copy of the built Quorvex alone in a fresh directory, as a user would install it.
class Installation {
 public:
  Installation() { std::filesystem::copy_file(QUORVEX_PROGRAM, dir.path() / "Quorvex"); }
  void Configure(const std::string& ini) const { dir.Write("Quorvex.ini", ini); }
  std::string Program() const { return (dir.path() / "Quorvex").string(); }
  Outcome Run(const std::vector<std::string>& arguments, const StartOptions& options = {}) const {
    return Started(Program(), arguments, options).Wait();
  }

  // The log's messages without their timestamps.
  std::vector<std::string> Log() const {
    static const std::regex kStamped(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d (.*))");
    std::vector<std::string> messages = LogLines(dir.Read("Quorvex.log"));
    for (std::string& line : messages) {
      std::smatch match;
      EXPECT_TRUE(std::regex_match(line, match, kStamped)) << line;
      line = match[1].str();
    }
    return messages;
  }

  // Whether `file` (the log, by default) holds `text` within 60 s, looked at every millisecond.
  bool Await(const std::string& text, const std::string& file = "Quorvex.log") const {
    return Within(60, [&] { return dir.Read(file).find(text) != std::string::npos; });
  }

  TestDir dir;
};

// quorvex-modem-sim on a pty linked as COM2 in the installation's directory.
class Simulator {
 public:
  Simulator(const Installation& installation, std::vector<std::string> options)
      : installation_(installation), dir_(installation.dir) {
    const std::string link = dir_.path() / "COM2";
    options.insert(options.begin(), {"--link", link, "--received", dir_.path() / "received"});
    process_.emplace(QUORVEX_MODEM_SIM, options);
    const std::string ready = process_->ReadLine();
    EXPECT_TRUE(ready.starts_with("quorvex-modem-sim: ready")) << ready;
    device_ = std::filesystem::read_symlink(link).string();
  }
  ~Simulator() { StopAndCollectReceived(); }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Waits until the modem has received `bytes`, at most 60 s.
  bool AwaitReceived(const std::string& bytes) const {
    return installation_.Await(bytes, "received");
  }
  // Stops the simulator and returns every byte the modem received, in order.
  std::string StopAndCollectReceived() {
    if (process_) {
      process_->Signal(SIGTERM);
      EXPECT_EQ(process_->Wait().status, 0) << "the simulator must stop cleanly";
      process_.reset();
    }
    return dir_.Read("received");
  }
  // The pseudo-terminal device that the COM link names.
  const std::string& device() const { return device_; }

 private:
  const Installation& installation_;
  const TestDir& dir_;
  std::string device_;
  std::optional<Started> process_;
};

}  // namespace quorvex::e2e
