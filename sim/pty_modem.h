#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "sim/modem_model.h"
#include "sim/options.h"

namespace quorvex::sim {

// Runs the model on a pseudo-terminal until SIGTERM or SIGINT. Opens and closes of the
// terminal's device come from inotify: a close followed at once by a reopen leaves no
// trace on the master side.
class PtyModem {
 public:
  explicit PtyModem(const SimOptions& options);
  PtyModem(const PtyModem&) = delete;
  PtyModem& operator=(const PtyModem&) = delete;
  ~PtyModem();

  const std::string& device() const { return device_; }
  void Run();

 private:
  void OpenTerminal();
  void WatchTerminal();
  void MakeLink();
  void OnLineEvents();
  void OnReceived();
  void Send(const std::string& bytes);
  void Record(std::string_view event, std::string_view detail = {});
  void RecordNotes();
  double Now() const;

  SimOptions options_;
  ModemModel model_;
  std::string device_;
  int master_ = -1;
  int slave_ = -1;
  int inotify_ = -1;
  int signals_ = -1;
  bool linked_ = false;
  std::FILE* transcript_ = nullptr;
};

}  // namespace quorvex::sim
