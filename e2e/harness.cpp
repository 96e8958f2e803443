#include "e2e/harness.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>
#include <sstream>

namespace quorvex::e2e {
namespace {

constexpr const char* kTranscript = "modem.transcript";

// Spawns `program` with standard output or error (`fd`) on a pipe whose read end is returned.
pid_t Spawn(const std::string& program, const std::vector<std::string>& arguments, int fd,
            int& readEnd) {
  int pipeFds[2];
  EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], fd);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  EXPECT_EQ(::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
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

Outcome RunToEnd(const std::string& program, const std::vector<std::string>& arguments) {
  int errors = -1;
  const pid_t pid = Spawn(program, arguments, STDERR_FILENO, errors);
  Outcome outcome;
  outcome.stderrText = ReadFrom(errors, false);
  ::close(errors);
  outcome.status = WaitForExit(pid);
  return outcome;
}

Installation::Installation() {
  std::filesystem::copy_file(QUORVEX_PROGRAM, dir.path() / "Quorvex");
}

Outcome Installation::Run(const std::vector<std::string>& arguments) const {
  return RunToEnd((dir.path() / "Quorvex").string(), arguments);
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
