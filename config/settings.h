#pragma once

#include <cstdint>
#include <string>

namespace quorvex {

// The site settings the run works with.
struct Settings {
  int32_t ComPort = 0;   // 0: not set
  std::string SMSPhone;  // empty: not set
  int16_t MaxAttempts = 5;
  int32_t MaxQueueHours = 24;  // a queued item older than this is not sent; 0: never
};

}  // namespace quorvex
