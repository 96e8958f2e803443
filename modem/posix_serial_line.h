#pragma once

#include <filesystem>
#include <string>

#include "modem/serial_line.h"

namespace quorvex {

// The modem line on a termios device. Port N is the file or link COM<N> beside the
// executable when there is one, else /dev/ttyS<N-1>.
class PosixSerialLine : public SerialLine {
 public:
  explicit PosixSerialLine(std::filesystem::path exeDir) : exeDir_(std::move(exeDir)) {}
  PosixSerialLine(const PosixSerialLine&) = delete;
  PosixSerialLine& operator=(const PosixSerialLine&) = delete;
  ~PosixSerialLine() override { Close(); }

  void Open(int16_t port) override;
  bool IsOpen() const override { return fd_ >= 0; }
  void Close() override;
  void Write(std::string_view text) override;
  std::string ReadAll() override;
  void WaitUntil(MonotonicTime deadline) override;

 private:
  int OpenDevice(int16_t port);
  void TakeForThisRun(int fd);
  void ApplySettings();
  void ChangeModemLines(unsigned long request, int lines);
  void SendPending();
  void ReceiveAvailable();
  void CheckStillConnected(short events);
  std::string Describe() const;

  std::filesystem::path exeDir_;
  int fd_ = -1;
  std::string portName_;
  std::string device_;
  std::string unsent_;
  std::string received_;
};

}  // namespace quorvex
