// The whole delivery in virtual time, message and modem's answers from the input: the line
// ends closed, no more attempts than allowed, only printable ASCII and CRs reach the line,
// nothing of the request follows a drop after CONNECT, and the message never precedes it.
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/text.h"
#include "fuzz/fuzz_check.h"
#include "testing/run_harness.h"

namespace {

using namespace quorvex;

// Reads the input front to back; past its end every byte reads as 0.
struct Input {
  std::string_view rest;
  uint8_t Byte() { return rest.empty() ? 0 : Take(1)[0]; }
  std::string Text(size_t length) { return Take(std::min(length, rest.size())); }
  std::string Take(size_t length) {
    std::string taken(rest.substr(0, length));
    rest.remove_prefix(length);
    return taken;
  }
};

// Each rule: which write it answers, on which attempt, after how long, and with what.
void ScriptModem(Input& input, FakeLine& line) {
  static const char* const kPrefixes[] = {"AT&F", "ATDT", "44", "", "\r", "ATZ"};
  while (!input.rest.empty()) {
    const char* prefix = kPrefixes[input.Byte() % 6];
    const int attempt = input.Byte() % 4;
    const double after = input.Byte() / 8.0;
    line.Answer(prefix, input.Text(input.Byte() % 64), after, attempt);
  }
}

// Walks what crossed the line in order, attempt by attempt.
void CheckDialogue(const FakeLine& line, const std::string& message) {
  std::string sinceDial;
  size_t read = 0;
  for (size_t i = 0; i < line.events.size(); ++i) {
    for (; read < line.reads.size() && line.reads[read].first <= i; ++read) {
      sinceDial += line.reads[read].second;
    }
    const std::string& event = line.events[i].second;
    const size_t connect = sinceDial.find("CONNECT");
    const bool connected = connect != std::string::npos;
    const bool dropped = connected && sinceDial.find("NO CARRIER", connect) != std::string::npos;
    if (event == "447775123456\r" || (!message.empty() && event == message)) {
      FUZZ_CHECK(connected && !dropped);
    }
    if (!event.starts_with("<")) {
      FUZZ_CHECK(std::all_of(event.begin(), event.end(),
                             [](char c) { return IsPrintableAscii(c) || c == '\r'; }));
    }
    if (event.starts_with("<") || event.starts_with("ATDT")) {
      sinceDial.clear();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input input{{reinterpret_cast<const char*>(data), size}};
  const int maxAttempts = input.Byte() % 6 - 1;
  const uint8_t stopAt = input.Byte();
  // Never starting with "<", so that the message cannot pass for an opening or a close.
  std::string message = "m" + input.Text(input.Byte() % 32);
  static const TestDir scratch;  // a directory per input would be most of the time spent
  RunHarness run(scratch);
  run.dir.Write("Quorvex.ini", "COMPORT=2\nSMSPHONE=9\nMAXATTEMPTS=" + std::to_string(maxAttempts));
  ScriptModem(input, run.line);
  if (stopAt < 128) {
    run.clock.StopAt(stopAt, SIGTERM);
  }
  const int status = run.Run({"447775123456," + message});
  FUZZ_CHECK(!run.line.IsOpen());
  FUZZ_CHECK(run.line.openings() <= std::max(1, maxAttempts));
  FUZZ_CHECK(status == 0 || status == 75 || status == 128 + SIGTERM);
  FUZZ_CHECK(run.notices.said.empty());
  CheckDialogue(run.line, frmQuorvex::FixMessage(message = SevenBitText(message)));
  return 0;
}
