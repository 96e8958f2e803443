#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "base/fd.h"
#include "sim/modem_model.h"
#include "sim/options.h"

namespace quorvex::sim {

// Runs the model on a pseudo-terminal until a terminating signal. Opens and closes of the
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
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> transcript_{nullptr, std::fclose};
  Fd received_;
  Fd master_;
  Fd slave_;
  Fd inotify_;
  Fd signals_;
  bool linked_ = false;
};

}  // namespace quorvex::sim
