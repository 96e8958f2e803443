#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "app/test_dir.h"

namespace quorvex::e2e {

struct Outcome {
  int status = -1;
  std::string stderrText;
};

// Starts `program` with `arguments`, no input, and collects its standard error and status.
Outcome RunToEnd(const std::string& program, const std::vector<std::string>& arguments);

// A copy of the built Quorvex alone in a fresh directory, as a user would install it.
class Installation {
 public:
  Installation();
  void Configure(const std::string& ini) const { dir.Write("Quorvex.ini", ini); }
  Outcome Run(const std::vector<std::string>& arguments) const;
  // The log's messages without their timestamps; each line must be stamped and end in CR LF.
  std::vector<std::string> LogMessages() const;

  TestDir dir;
};

// quorvex-modem-sim on a pty linked as COM<port> in the installation's directory.
class Simulator {
 public:
  Simulator(const Installation& installation, int port, std::vector<std::string> options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Stops the simulator and returns every byte the modem received, in order.
  std::string StopAndCollectReceived();
  std::string Transcript() const;

 private:
  void Stop();

  const TestDir& dir_;
  pid_t pid_ = -1;
};

}  // namespace quorvex::e2e
