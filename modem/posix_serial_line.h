#pragma once

#include <filesystem>
#include <string>

#include "modem/serial_line.h"

namespace quorvex {

// The modem line on a termios device. Port N is the file or link COM<N> beside the
// executable when there is one at the run's first opening, else /dev/ttyS<N-1>.
class PosixSerialLine final : public SerialLine {
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
  void ChooseDevice(int16_t port);
  int OpenDevice();
  void RefuseIfExclusive(int fd);
  void LockPort(int fd);
  void ApplySettings();
  void RaiseDtrAndRts();
  void SendPending();
  void ReceiveAvailable();
  void CheckStillConnected(short events);
  [[noreturn]] void ThrowInUse();
  std::string Describe() const;

  std::filesystem::path exeDir_;
  int fd_ = -1;
  std::string portName_;
  std::string device_;  // chosen at the first opening, kept for the run
  std::string unsent_;
  std::string received_;
};

}  // namespace quorvex
