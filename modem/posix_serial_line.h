#pragma once

#include <filesystem>
#include <string>

#include "base/fd.h"
#include "modem/serial_line.h"

namespace quorvex {

// The modem line on a termios device. Port N is the file or link COM<N> beside the
// executable when there is one at the run's first opening, else /dev/ttyS<N-1>; it is
// opened through trusted links only.
class PosixSerialLine final : public SerialLine {
 public:
  PosixSerialLine(std::filesystem::path exeDir, Clock& clock)
      : exeDir_(std::move(exeDir)), clock_(clock) {}
  PosixSerialLine(const PosixSerialLine&) = delete;
  PosixSerialLine& operator=(const PosixSerialLine&) = delete;
  ~PosixSerialLine() override { Close(); }

  void Open(int16_t port) override;
  bool IsOpen() const override { return fd_.valid(); }
  std::string Device() const override { return reached_; }
  void Close() override;
  void Write(std::string_view text) override;
  std::string ReadAll() override;
  void WaitUntil(MonotonicTime deadline) override;
  MonotonicTime AwaitSent() override;

  // How long past twice the bytes' own time at 9600 bit/s output may take to drain (the
  // modem may hold it back with CTS for a while) before the line counts as failed.
  static constexpr auto kSentSlack = std::chrono::seconds(2);

 private:
  void ChooseDevice(int16_t port);
  Fd OpenDevice();
  void RefuseUntrustedDevice(const Fd& fd);
  void RefuseIfExclusive(const Fd& fd);
  void LockPort(const Fd& fd);
  void ApplySettings();
  void RaiseDtrAndRts();
  void SendPending();
  int OutputQueued();
  void ReceiveAvailable();
  void CheckStillConnected(short events);
  [[noreturn]] void ThrowInUse();
  std::string Describe() const;

  std::filesystem::path exeDir_;
  Clock& clock_;
  Fd fd_;
  std::string portName_;
  std::filesystem::path deviceDir_;  // chosen at the first opening, kept for the run
  std::string deviceName_;
  std::string device_;              // the two together
  std::string reached_;             // the device the links led to at the latest opening
  bool withoutModemLines_ = false;  // a pseudo-terminal or a port like it
  std::string unsent_;
  size_t lastWritten_ = 0;  // the size of the latest Write, whose sending AwaitSent awaits
  MonotonicTime writtenAt_{};
  MonotonicTime sentBy_{};  // when 9600 bit/s will have carried all that was written
  std::string received_;
};

}  // namespace quorvex
