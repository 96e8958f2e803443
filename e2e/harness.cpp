#include "e2e/harness.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pwd.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>

namespace quorvex::e2e {
namespace {

constexpr const char* kTranscript = "modem.transcript";

// Starts `program` with `pipeTo` (standard output or error) on a pipe whose read end is
// returned in `readEnd`.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, int pipeTo,
            int& readEnd, const StartOptions& options = {}) {
  int pipeFds[2];
  EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
    ::dup2(pipeFds[1], pipeTo);
    if (options.closeStandardOutputs) {
      ::close(STDOUT_FILENO);
      ::close(STDERR_FILENO);
    }
    if (options.asGroupMember && !BecomeGroupMember()) {
      ::_exit(126);
    }
    if (options.fileSizeLimit) {
      const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipeFds[1]);
  readEnd = pipeFds[0];
  return pid;
}

// Reads until end of file, or up to the first newline when `oneLine` is set.
std::string ReadFrom(int fd, bool oneLine) {
  std::string text;
  char c;
  while (::read(fd, &c, 1) == 1) {
    text += c;
    if (oneLine && c == '\n') {
      break;
    }
  }
  return text;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Watches `file`'s directory with inotify and reads the file again after each change.
bool AwaitFileHolding(const std::filesystem::path& file, const std::string& text,
                      std::chrono::seconds limit) {
  const int watch = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  ::inotify_add_watch(watch, file.parent_path().c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE);
  const auto giveUp = std::chrono::steady_clock::now() + limit;
  bool found = false;
  while (!found && std::chrono::steady_clock::now() < giveUp) {
    std::ifstream stream(file, std::ios::binary);
    found = std::string(std::istreambuf_iterator<char>(stream), {}).find(text) != std::string::npos;
    pollfd changes{watch, POLLIN, 0};
    if (!found && ::poll(&changes, 1, 1000) > 0) {
      char events[4096];
      while (::read(watch, events, sizeof events) > 0) {
      }
    }
  }
  ::close(watch);
  return found;
}

std::string Unescape(const std::string& quoted) {
  std::string bytes;
  for (size_t i = 1; i + 1 < quoted.size(); ++i) {
    if (quoted[i] != '\\') {
      bytes += quoted[i];
      continue;
    }
    const char kind = quoted[++i];
    if (kind == 'x') {
      bytes += static_cast<char>(std::stoi(quoted.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      bytes += kind == 'r' ? '\r' : kind == 'n' ? '\n' : kind;
    }
  }
  return bytes;
}

}  // namespace

bool BecomeGroupMember() {
  const passwd* nobody = ::getpwnam("nobody");
  const group* dialout = ::getgrnam("dialout");
  if (::geteuid() != 0) {
    return true;
  }
  if (nobody == nullptr || dialout == nullptr) {
    return false;
  }
  const gid_t gid = dialout->gr_gid;
  return ::setgroups(1, &gid) == 0 && ::setresgid(gid, gid, gid) == 0 &&
         ::setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) == 0;
}

int AsGroupMember(const std::function<int()>& act) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::_exit(BecomeGroupMember() ? act() : 126);
  }
  return WaitForExit(child);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

Started::Started(const std::string& program, const std::vector<std::string>& arguments,
                 const StartOptions& options)
    : pid_(Spawn(program, arguments, STDERR_FILENO, errors_, options)) {}

Started::~Started() {
  if (pid_ > 0) {
    Signal(SIGKILL);
    Wait();
  }
}

void Started::Signal(int signal) const {
  ::kill(pid_, signal);
}

Outcome Started::Wait() {
  Outcome outcome;
  outcome.stderrText = ReadFrom(errors_, false);
  ::close(errors_);
  outcome.status = WaitForExit(pid_);
  pid_ = -1;
  return outcome;
}

Outcome RunToEnd(const std::string& program, const std::vector<std::string>& arguments) {
  return Started(program, arguments).Wait();
}

Installation::Installation() {
  std::filesystem::copy_file(QUORVEX_PROGRAM, dir.path() / "Quorvex");
}

Outcome Installation::Run(const std::vector<std::string>& arguments) const {
  return RunToEnd(Program(), arguments);
}

std::vector<std::string> Installation::LogMessages() const {
  static const std::regex kStamped(R"(\d\d/\d\d/\d{4} \d\d:\d\d:\d\d (.*))");
  std::vector<std::string> messages;
  const std::string log = dir.Read("Quorvex.log");
  std::string_view rest = log;
  for (size_t end; (end = rest.find("\r\n")) != std::string_view::npos;
       rest.remove_prefix(end + 2)) {
    const std::string line(rest.substr(0, end));
    std::smatch match;
    EXPECT_TRUE(std::regex_match(line, match, kStamped)) << line;
    messages.push_back(match[1]);
  }
  EXPECT_EQ(rest, "") << "unterminated last log line";
  return messages;
}

bool Installation::AwaitLogLine(const std::string& text) const {
  return AwaitFileHolding(std::filesystem::canonical(dir.path() / "Quorvex.log"), text,
                          std::chrono::seconds(60));
}

Simulator::Simulator(const Installation& installation, int port, std::vector<std::string> options)
    : dir_(installation.dir) {
  const std::string link = (installation.dir.path() / ("COM" + std::to_string(port))).string();
  const std::string transcript = (dir_.path() / kTranscript).string();
  options.insert(options.begin(), {"--link", link, "--transcript", transcript});
  int output = -1;
  pid_ = Spawn(QUORVEX_MODEM_SIM, options, STDOUT_FILENO, output);
  const std::string ready = ReadFrom(output, true);
  ::close(output);
  EXPECT_TRUE(ready.starts_with("quorvex-modem-sim: ready")) << ready;
  device_ = std::filesystem::read_symlink(link).string();
}

Simulator::~Simulator() {
  Stop();
}

void Simulator::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    EXPECT_EQ(WaitForExit(pid_), 0) << "the simulator must stop cleanly";
    pid_ = -1;
  }
}

std::string Simulator::Transcript() const {
  return dir_.Read(kTranscript);
}

bool Simulator::AwaitTranscript(const std::string& text) const {
  return AwaitFileHolding(dir_.path() / kTranscript, text, std::chrono::seconds(10));
}

std::string Simulator::StopAndCollectReceived() {
  Stop();
  std::istringstream lines(Transcript());
  std::string received;
  for (std::string line; std::getline(lines, line);) {
    const size_t event = line.find(' ');
    if (line.compare(event + 1, 5, "recv ") == 0) {
      received += Unescape(line.substr(event + 6));
    }
  }
  return received;
}

}  // namespace quorvex::e2e
