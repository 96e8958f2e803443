#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "base/clock.h"

namespace quorvex {

// The modem line: 9600 bit/s, 7E1 (8N1 on a port without modem-control lines), RTS/CTS,
// DTR and RTS raised while open. Failures are RunErrors.
class SerialLine {
 public:
  virtual ~SerialLine() = default;
  // Opens port `port` (1 or more) for this run alone; the first opening of a run fixes the device
  // that every later opening uses. Opening an open line is an error.
  virtual void Open(int16_t port) = 0;
  virtual bool IsOpen() const = 0;
  // The device that the port's links led to at the latest opening.
  virtual std::string Device() const = 0;
  // Drops DTR, discards what is unsent and unread, and releases the port. Never fails.
  virtual void Close() = 0;
  // Queues the text and returns at once; what the line cannot take yet goes during waits.
  virtual void Write(std::string_view text) = 0;
  // Passes time, collecting input, until what was written has left the line; returns that
  // moment. Raises a RunError when the line cannot send it within twice its time at
  // 9600 bit/s plus 2 s, and the stop when a stop signal arrives meanwhile.
  virtual MonotonicTime AwaitSent() = 0;
  // Everything received since the previous read on this opening.
  virtual std::string ReadAll() = 0;
  // Passes time until `deadline` (or less, if interrupted), sending queued output and
  // collecting input. Raises the stop when a stop signal arrives meanwhile.
  virtual void WaitUntil(MonotonicTime deadline) = 0;
};

}  // namespace quorvex
