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

namespace quorvex::e2e {
namespace {

constexpr const char* kReceived = "modem.received";

void PrepareChild(const StartOptions& options, int out, int err) {
  ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
  ::dup2(out, STDOUT_FILENO);
  int gone[2];
  if (options.errorReaderGone && ::pipe(gone) == 0) {
    ::close(gone[0]);
    err = gone[1];
  }
  ::dup2(err, STDERR_FILENO);
  if (options.closeStandardOutputs) {
    ::close(STDOUT_FILENO);
    ::close(STDERR_FILENO);
  }
  sigset_t blocked;
  sigemptyset(&blocked);
  for (int signal : options.blocked) {
    sigaddset(&blocked, signal);
  }
  ::sigprocmask(SIG_SETMASK, &blocked, nullptr);
  for (int signal : options.ignored) {
    ::signal(signal, SIG_IGN);
  }
  if (options.fileSizeLimit) {
    const rlimit limit{*options.fileSizeLimit, *options.fileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (options.asGroupMember && !BecomeGroupMember()) {
    ::_exit(126);
  }
}

std::string ReadAll(const Fd& fd) {
  std::string text;
  char buffer[4096];
  for (ssize_t count; (count = ::read(fd.get(), buffer, sizeof buffer)) > 0;) {
    text.append(buffer, static_cast<size_t>(count));
  }
  return text;
}

int WaitForExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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
                 const StartOptions& options) {
  int out[2];
  int err[2];
  EXPECT_EQ(::pipe2(out, O_CLOEXEC) | ::pipe2(err, O_CLOEXEC), 0);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) {
    PrepareChild(options, out[1], err[1]);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  {
    const Fd childOut(out[1]);  // the child's ends, closed here
    const Fd childErr(err[1]);
  }
  out_.reset(out[0]);
  err_.reset(err[0]);
}

Started::~Started() {
  if (pid_ > 0) {
    Signal(SIGKILL);
    Wait();
  }
}

void Started::Signal(int signal) const {
  ::kill(pid_, signal);
}

std::string Started::ReadLine() {
  std::string line;
  for (char c; line.find('\n') == std::string::npos && ::read(out_.get(), &c, 1) == 1;) {
    line += c;
  }
  return line;
}

Outcome Started::Wait() {
  Outcome outcome;
  outcome.err = ReadAll(err_);
  outcome.out = ReadAll(out_);
  outcome.status = WaitForExit(pid_);
  pid_ = -1;
  return outcome;
}

Installation::Installation() {
  std::filesystem::copy_file(QUORVEX_PROGRAM, dir.path() / "Quorvex");
}

Outcome Installation::Run(const std::vector<std::string>& arguments,
                          const StartOptions& options) const {
  return Started(Program(), arguments, options).Wait();
}

std::vector<std::string> Installation::Log() const {
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

// Watches the log's directory with inotify and reads the log again after each change.
bool Installation::AwaitLogLine(const std::string& text) const {
  const std::filesystem::path log = std::filesystem::weakly_canonical(dir.path() / "Quorvex.log");
  const Fd watch(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
  ::inotify_add_watch(watch.get(), log.parent_path().c_str(), IN_MODIFY | IN_CREATE);
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (std::chrono::steady_clock::now() < giveUp) {
    std::ifstream stream(log, std::ios::binary);
    if (std::string(std::istreambuf_iterator<char>(stream), {}).find(text) != std::string::npos) {
      return true;
    }
    pollfd changes{watch.get(), POLLIN, 0};
    if (::poll(&changes, 1, 1000) > 0) {
      ReadAll(watch);
    }
  }
  return false;
}

Simulator::Simulator(const Installation& installation, int port, std::vector<std::string> options)
    : dir_(installation.dir) {
  const std::string link = (dir_.path() / ("COM" + std::to_string(port))).string();
  options.insert(options.begin(), {"--link", link, "--received", dir_.path() / kReceived});
  process_.emplace(QUORVEX_MODEM_SIM, options);
  const std::string ready = process_->ReadLine();
  EXPECT_TRUE(ready.starts_with("quorvex-modem-sim: ready")) << ready;
  device_ = std::filesystem::read_symlink(link).string();
}

void Simulator::Stop() {
  if (process_) {
    process_->Signal(SIGTERM);
    EXPECT_EQ(process_->Wait().status, 0) << "the simulator must stop cleanly";
    process_.reset();
  }
}

std::string Simulator::StopAndCollectReceived() {
  Stop();
  return dir_.Read(kReceived);
}

}  // namespace quorvex::e2e
