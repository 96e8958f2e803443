#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/fd.h"
#include "testing/test_dir.h"

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
  std::optional<rlim_t> fileSizeLimit{};  // RLIMIT_FSIZE, in bytes
  bool asGroupMember = false;             // as nobody in group dialout, when run by root
  std::vector<int> ignored{};             // signals set to SIG_IGN, as nohup does
  std::vector<int> blocked{};             // signals blocked, as some callers leave them
};

// In a child: becomes nobody in group dialout (when root), as a less trusted user runs.
bool BecomeGroupMember();
// Runs `act` in a child that became nobody in group dialout; returns its exit status.
int AsGroupMember(const std::function<int()>& act);

class Started {
 public:
  Started(const std::string& program, const std::vector<std::string>& arguments,
          const StartOptions& options = {});
  ~Started();
  Started(const Started&) = delete;
  Started& operator=(const Started&) = delete;

  void Signal(int signal) const;
  std::string ReadLine();
  // Waits for the end; collects both outputs and the status.
  Outcome Wait();

 private:
  Fd out_;
  Fd err_;
  pid_t pid_ = -1;
};

// A copy of the built Quorvex alone in a fresh directory, as a user would install it.
class Installation {
 public:
  Installation();
  void Configure(const std::string& ini) const { dir.Write("Quorvex.ini", ini); }
  std::string Program() const { return (dir.path() / "Quorvex").string(); }
  Outcome Run(const std::vector<std::string>& arguments, const StartOptions& options = {}) const;
  // The log's messages without their timestamps; each line must be stamped and end in CR LF.
  std::vector<std::string> Log() const;
  // Watches the log until a line holds `text`, for at most 60 seconds.
  bool AwaitLogLine(const std::string& text) const;

  TestDir dir;
};

// quorvex-modem-sim on a pty linked as COM<port> in the installation's directory.
class Simulator {
 public:
  Simulator(const Installation& installation, int port, std::vector<std::string> options);
  ~Simulator() { Stop(); }
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Stops the simulator and returns every byte the modem received, in order.
  std::string StopAndCollectReceived();
  // The pseudo-terminal device that the COM link names.
  const std::string& device() const { return device_; }

 private:
  void Stop();

  const TestDir& dir_;
  std::string device_;
  std::optional<Started> process_;
};

double SecondsSince(std::chrono::steady_clock::time_point start);

}  // namespace quorvex::e2e
