#pragma once

#include <sysexits.h>

#include <array>
#include <string_view>

#include "base/run_error.h"

namespace quorvex {

// How a run ended, as its caller needs to tell it apart.
enum class Ending {
  kAccepted,       // the service accepted the message (or a check found the modem answering)
  kBadRequest,     // the request is empty or invalid
  kNotDelivered,   // attempts used up, no dial tone, or a modem that did not answer a check
  kPortInUse,      // another program holds the serial port
  kAnotherRun,     // another run of this installation holds the log
  kConfiguration,  // Quorvex.ini missing or unreadable, or a setting missing or unusable
  kRunError,       // any other failure
};

struct ExitStatusRow {
  Ending ending;
  int status;
  std::string_view meaning;  // as --help shows it; empty for a status the row above explains
};

// The one table of exit statuses that scripts rely on; --help prints it, and the README's
// and the man page's tables are checked against what --help prints.
inline constexpr std::array<ExitStatusRow, 7> kExitStatuses{{
    {Ending::kAccepted, EX_OK, "message accepted by the service; modem answers a check"},
    {Ending::kBadRequest, EX_USAGE, "request empty or invalid, or an unknown option"},
    {Ending::kRunError, EX_IOERR, "run error (log, serial port, line I/O, unsafe path)"},
    {Ending::kNotDelivered, EX_TEMPFAIL,
     "not delivered, modem silent, busy, items left queued: try again later"},
    {Ending::kPortInUse, EX_TEMPFAIL, ""},
    {Ending::kAnotherRun, EX_TEMPFAIL, ""},
    {Ending::kConfiguration, EX_CONFIG, "configuration missing, unreadable or unusable"},
}};

// The exit status of each ending, from kExitStatuses.
int ExitStatus(Ending ending);

// A stop by signal N ends with 128 + N, as a shell reports a process killed by it.
int ExitStatusForSignal(int signal);

// The ending that a failure of each kind leads to.
Ending EndingOf(Failure failure);

}  // namespace quorvex
