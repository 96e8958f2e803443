// The command line's text: a valid request is safe to log and to send.
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
  const bool allBlanks = text.find_first_not_of(' ') == std::string_view::npos;
  FUZZ_CHECK((request.status == RequestStatus::kEmpty) == allBlanks);
  if (request.status != RequestStatus::kValid) {
    return 0;
  }
  const std::string& number = request.number;
  FUZZ_CHECK(number.starts_with("44") && number.size() >= 6);
  FUZZ_CHECK(number.find(',') == std::string::npos);
  FUZZ_CHECK(std::all_of(number.begin(), number.end(), IsPrintableAscii));
  FUZZ_CHECK(std::none_of(request.message.begin(), request.message.end(), IsControl));
  FUZZ_CHECK(request.message == BlankControls(std::string(text.substr(number.size() + 1))));
  return 0;
}
