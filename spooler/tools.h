#pragma once

#include <filesystem>

#include "app/notices.h"
#include "base/clock.h"
#include "trace/run_history.h"

namespace quorvex {

// What the queue's commands and the monitoring check need from the machine.
struct QueueTools {
  std::filesystem::path exeDir;
  NoticeSink& notices;
  RunHistory& history;
  Clock& clock;
};

}  // namespace quorvex
