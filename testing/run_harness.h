#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/frm_quorvex.h"
#include "testing/line_fake.h"
#include "testing/notices_fake.h"
#include "testing/run_history_fake.h"
#include "testing/test_dir.h"

namespace quorvex {

// A whole run in virtual time, beside a scratch Quorvex.ini, against the scripted line.
struct RunHarness {
  int Run(std::vector<std::string> arguments) {
    frmQuorvex form({dir.path(), std::move(arguments), notices, clock, line, history});
    return form.Form_Load();
  }

  // The log with each timestamp shown as whole seconds since 14:07:03: "+39 text".
  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    const std::string log = dir.Read("Quorvex.log");
    std::string_view rest = log;
    for (size_t end; (end = rest.find("\r\n")) != std::string_view::npos;
         rest.remove_prefix(end + 2)) {
      lines.push_back(RelativeLine(rest.substr(0, end)));
    }
    EXPECT_EQ(rest, "") << "the log's last line must end in CR LF";
    return lines;
  }

  static std::string RelativeLine(std::string_view line) {
    int hours = 0, minutes = 0, seconds = 0;
    EXPECT_EQ(std::sscanf(std::string(line).c_str(), "05/03/2026 %2d:%2d:%2d ", &hours, &minutes,
                          &seconds),
              3)
        << line;
    const int since = (hours - 14) * 3600 + (minutes - 7) * 60 + (seconds - 3);
    return "+" + std::to_string(since) + std::string(line.substr(19));
  }

  TestDir dir;
  RecordingNotices notices;
  FakeClock clock;
  FakeLine line{clock};
  RecordingHistory history;
};

}  // namespace quorvex
