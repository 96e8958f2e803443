#include <cerrno>
#include <limits>

#include "app/frm_quorvex.h"

namespace quorvex {

namespace {

// The one place that decides whether a ComPort setting names a port: the line takes a
// 16-bit number, and ports count from 1.
int16_t PortToOpen(int32_t comPort) {
  if (comPort < std::numeric_limits<int16_t>::min() ||
      comPort > std::numeric_limits<int16_t>::max()) {
    throw RunError(kErrorOverflow,
                   "Overflow: ComPort " + std::to_string(comPort) + " is outside -32768..32767",
                   Failure::kSetting);
  }
  if (comPort < 1) {
    throw RunError(
        ENODEV,
        "Serial port COM" + std::to_string(comPort) + " has no device: port numbers start at 1",
        Failure::kSetting);
  }
  return static_cast<int16_t>(comPort);
}

}  // namespace

void frmQuorvex::OpenLine() {
  platform_.commSMS.Open(PortToOpen(settings.ComPort));
}

void frmQuorvex::CloseLine() {
  if (platform_.commSMS.IsOpen()) {
    platform_.commSMS.Close();
  }
}

std::string frmQuorvex::SMS(std::string_view tmpOutput, int16_t tmpTime) {
  platform_.commSMS.Write(tmpOutput);
  // A long text is still going out when it has been handed over: the wait for its answer
  // starts once it has left the line. A single wait may end early (a signal, SIGCONT after a
  // stop, an early timer); the deadline on the monotonic clock stays where it was.
  const MonotonicTime deadline = platform_.commSMS.AwaitSent() + std::chrono::seconds(tmpTime);
  while (platform_.clock.Now() < deadline) {
    platform_.commSMS.WaitUntil(deadline);
  }
  return platform_.commSMS.ReadAll();
}

void frmQuorvex::Pause(float tmpTime) {
  const MonotonicTime deadline =
      platform_.clock.Now() +
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<float>(tmpTime));
  while (platform_.clock.Now() < deadline) {
    platform_.clock.SleepUntil(deadline);
  }
}

}  // namespace quorvex
