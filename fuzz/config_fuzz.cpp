// Quorvex.ini's bytes: either settings fit to use, or a setting error that quotes little.
#include <algorithm>
#include <cstdint>
#include <string_view>

#include "base/run_error.h"
#include "base/text.h"
#include "config/reader.h"
#include "fuzz/fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  try {
    const quorvex::Settings settings = quorvex::ReadConfiguration(bytes);
    const std::string& dial = settings.SMSPhone;
    FUZZ_CHECK(std::all_of(dial.begin(), dial.end(), quorvex::IsPrintableAscii));
    FUZZ_CHECK(std::none_of(dial.begin(), dial.end(), [](char c) { return c >= 'a' && c <= 'z'; }));
  } catch (const quorvex::RunError& error) {
    FUZZ_CHECK(error.failure() == quorvex::Failure::kSetting);
    FUZZ_CHECK(error.description().size() <= 120);
    const std::string description = error.description();
    FUZZ_CHECK(std::none_of(description.begin(), description.end(), quorvex::IsControl));
  }
  return 0;
}
