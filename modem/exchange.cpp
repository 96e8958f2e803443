#include <limits>

#include "app/frm_quorvex.h"

namespace quorvex {

void frmQuorvex::OpenLine() {
  if (settings.ComPort < std::numeric_limits<int16_t>::min() ||
      settings.ComPort > std::numeric_limits<int16_t>::max()) {
    throw RunError(
        kErrorOverflow,
        "Overflow: ComPort " + std::to_string(settings.ComPort) + " is outside -32768..32767",
        Failure::kSetting);
  }
  platform_.commSMS.Open(static_cast<int16_t>(settings.ComPort));
}

void frmQuorvex::CloseLine() {
  if (platform_.commSMS.IsOpen()) {
    platform_.commSMS.Close();
  }
}

std::string frmQuorvex::SMS(std::string_view tmpOutput, int16_t tmpTime) {
  platform_.commSMS.Write(tmpOutput);
  WaitUntil(platform_.clock.Now() + std::chrono::seconds(tmpTime),
            [this](MonotonicTime deadline) { platform_.commSMS.WaitUntil(deadline); });
  return platform_.commSMS.ReadAll();
}

void frmQuorvex::Pause(float tmpTime) {
  const auto length = std::chrono::duration<float>(tmpTime);
  WaitUntil(platform_.clock.Now() + std::chrono::duration_cast<std::chrono::nanoseconds>(length),
            [this](MonotonicTime deadline) { platform_.clock.SleepUntil(deadline); });
}

// The one loop to a deadline: a single wait may end early (a signal, SIGCONT after a stop,
// an early timer), and the deadline on the monotonic clock stays where it was.
void frmQuorvex::WaitUntil(MonotonicTime deadline,
                           const std::function<void(MonotonicTime)>& waitOnce) {
  while (platform_.clock.Now() < deadline) {
    waitOnce(deadline);
  }
}

}  // namespace quorvex
