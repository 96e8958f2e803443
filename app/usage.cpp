#include "app/usage.h"

#include "app/exit_status.h"
#include "app/version.h"

namespace quorvex {
namespace {

std::string ExitStatusLines() {
  std::string lines;
  for (const ExitStatusRow& row : kExitStatuses) {
    if (!row.meaning.empty()) {
      std::string status = std::to_string(row.status);
      status.resize(9, ' ');
      lines += "  " + status + std::string(row.meaning) + "\n";
    }
  }
  return lines + "  128+N    stopped by signal N before the service accepted\n";
}

std::string Usage(const std::filesystem::path& exeDir) {
  return "Usage: Quorvex NUMBER,MESSAGE\n"
         "       Quorvex --check\n"
         "       Quorvex --help | --version\n"
         "\n"
         "Delivers one SMS text through a dial-up messaging service, driving a Hayes modem\n"
         "on a serial port. NUMBER is the recipient in international form, starting with 44;\n"
         "the text is split at the first comma, and several arguments are joined with blanks:\n"
         "\n"
         "    Quorvex 447775123456,Meet at 10:30\n"
         "\n"
         "--check opens the port and asks the modem to initialise, without dialling or\n"
         "touching the log: 0 when it answers, 75 when it is silent or busy (for cron and\n"
         "monitoring, e.g. hourly: 0 * * * * quorvex --check >/dev/null).\n"
         "\n"
         "Quorvex.ini (COMPORT=, SMSPHONE=, MAXATTEMPTS=) and Quorvex.log, the log of the\n"
         "last run, live beside the real executable (links followed), here in\n"
         "  " +
         exeDir.string() +
         "\n"
         "\n"
         "Exit status:\n" +
         ExitStatusLines() +
         "\n"
         "See Quorvex(1).\n";
}

constexpr std::string_view kCopyright =
    "Copyright (C) 2026 the Quorvex developers\n"
    "License MIT: <https://opensource.org/licenses/MIT>\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

}  // namespace

std::optional<std::string> InformationRequested(const std::vector<std::string>& arguments,
                                                const std::filesystem::path& exeDir) {
  if (arguments.size() != 1) {
    return std::nullopt;
  }
  if (arguments[0] == "--help") {
    return Usage(exeDir);
  }
  if (arguments[0] == "--version") {
    return "Quorvex " + std::string(kVersionNumber) + "\n" + std::string(kCopyright);
  }
  return std::nullopt;
}

bool CheckRequested(const std::vector<std::string>& arguments) {
  return arguments.size() == 1 && arguments[0] == "--check";
}

}  // namespace quorvex
