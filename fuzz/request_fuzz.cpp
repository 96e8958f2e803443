// The command line's text: a valid request is safe to log and to send, and loses nothing:
// the number and the message are the text around its first comma, byte for byte, but for
// the message's controls, which are blanks.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "app/request.h"
#include "base/text.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quorvex;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const ParsedRequest request = ParseRequest(text);
  if (request.status != RequestStatus::kValid) {
    FUZZ_CHECK(request.number.empty() && request.message.empty());
    return 0;
  }
  const std::string& number = request.number;
  FUZZ_CHECK(number.starts_with("44") && number.size() >= 6);
  FUZZ_CHECK(number.find(',') == std::string::npos);
  FUZZ_CHECK(std::all_of(number.begin(), number.end(), IsPrintableAscii));
  FUZZ_CHECK(text.starts_with(number + ","));
  const std::string_view rest = text.substr(number.size() + 1);
  FUZZ_CHECK(request.message.size() == rest.size());
  for (size_t i = 0; i < rest.size(); ++i) {
    FUZZ_CHECK(request.message[i] == (IsControl(rest[i]) ? ' ' : rest[i]));
  }
  return 0;
}
