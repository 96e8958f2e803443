// The whole delivery in virtual time, with the modem's answers taken from the input.
// Properties: the line ends closed, no more attempts than allowed, nothing of the request
// goes out once the call has dropped after CONNECT, and the message never before CONNECT.
#include <signal.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "app/frm_quorvex.h"
#include "fuzz/fuzz_check.h"
#include "testing/line_fake.h"
#include "testing/notices_fake.h"
#include "testing/run_history_fake.h"
#include "testing/test_dir.h"

namespace {

using namespace quorvex;

constexpr const char* kNumber = "447775123456\r";
constexpr const char* kMessage = "Meet at 10-30";

// Reads the input front to back; past its end every byte reads as 0.
class Input {
 public:
  Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool Empty() const { return pos_ >= size_; }
  uint8_t Byte() { return Empty() ? 0 : data_[pos_++]; }
  std::string Text(size_t length) {
    const size_t taken = std::min(length, size_ - std::min(pos_, size_));
    std::string text(reinterpret_cast<const char*>(data_) + pos_, taken);
    pos_ += taken;
    return text;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

// Each rule: which write it answers, on which attempt, after how long, and with what.
void ScriptModem(Input& input, FakeLine& line) {
  static const char* const kPrefixes[] = {"AT&F", "ATDT", "44", "Meet", "\r", "ATZ"};
  while (!input.Empty()) {
    const char* prefix = kPrefixes[input.Byte() % 6];
    const int attempt = input.Byte() % 4;
    const double after = input.Byte() / 8.0;
    line.Answer(prefix, input.Text(input.Byte() % 64), after, attempt);
  }
}

// Walks what crossed the line in order, attempt by attempt.
void CheckDialogue(const FakeLine& line) {
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
    if (event == kNumber || event == kMessage) {
      FUZZ_CHECK(connected && !dropped);
    }
    if (event.starts_with("<") || event.starts_with("ATDT")) {
      sinceDial.clear();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TestDir dir;
  Input input(data, size);
  const int maxAttempts = input.Byte() % 6 - 1;
  const uint8_t stopAt = input.Byte();
  dir.Write("Quorvex.ini", "COMPORT=2\nSMSPHONE=9\nMAXATTEMPTS=" + std::to_string(maxAttempts));
  RecordingNotices notices;
  FakeClock clock;
  FakeLine line(clock);
  ScriptModem(input, line);
  if (stopAt < 128) {
    clock.StopAt(stopAt, SIGTERM);
  }
  RecordingHistory history;
  frmQuorvex form({dir.path(), {"447775123456,Meet at 10_30"}, notices, clock, line, history});
  const int status = form.Form_Load();
  FUZZ_CHECK(!line.IsOpen());
  FUZZ_CHECK(line.openings() <= std::max(1, maxAttempts));
  FUZZ_CHECK(status == 0 || status == 75 || status == 128 + SIGTERM);
  FUZZ_CHECK(notices.notices.empty());
  CheckDialogue(line);
  return 0;
}
