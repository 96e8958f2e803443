#include "app/command_line.h"

#include <utility>

#include "app/version.h"
#include "base/exit_status.h"
#include "base/text.h"

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

constexpr std::string_view kCopyright =
    "Copyright (C) 2026 the Quorvex developers\n"
    "License MIT: <https://opensource.org/licenses/MIT>\n"
    "This is free software: you are free to change and redistribute it.\n"
    "There is NO WARRANTY, to the extent permitted by law.\n";

}  // namespace

std::string Usage(const std::filesystem::path& exeDir) {
  return "Usage: Quorvex NUMBER,MESSAGE\n"
         "       Quorvex --queue NUMBER,MESSAGE\n"
         "       Quorvex --drain | --list-queue\n"
         "       Quorvex --requeue ID | --requeue failed | --remove ID\n"
         "       Quorvex --check\n"
         "       Quorvex --help | --version\n"
         "\n"
         "Delivers one SMS text through a dial-up messaging service, driving a Hayes modem\n"
         "on a serial port. NUMBER is the recipient in international form, starting with 44;\n"
         "the text is split at the first comma, and several arguments are joined with blanks:\n"
         "\n"
         "    Quorvex 447775123456,Meet at 10:30\n"
         "\n"
         "--queue stores the request in the spool and exits 0 at once; --drain delivers the\n"
         "queue oldest first, each item as a delivery would: an item the service refuses\n"
         "while it accepts others waits behind them and is set aside at its third refusal;\n"
         "any other failure stops the drain (0 when the queue is empty, 75 when items\n"
         "remain); --list-queue shows the queue. Items older than MAXQUEUEHOURS= hours\n"
         "(default 24; 0 never) are set aside. --requeue takes an item (or all) from failed/\n"
         "back into the queue, --remove deletes a queued or failed item; the spool's modes\n"
         "say who may.\n"
         "systemd's quorvex-drain.path and .timer run the drain; without systemd, cron:\n"
         "    */5 * * * * quorvex --drain\n"
         "\n"
         "--check opens the port and asks the modem to initialise, without dialling or\n"
         "writing the log (a missing log is created empty): 0 when it answers, 75 when it\n"
         "is silent or busy (e.g. hourly: 0 * * * * quorvex --check >/dev/null).\n"
         "\n"
         "Quorvex.ini (COMPORT=, SMSPHONE=, MAXATTEMPTS=, MAXQUEUEHOURS=), Quorvex.log, the\n"
         "log of the last run, and spool/ live beside the real executable (links followed),\n"
         "here in\n"
         "  " +
         exeDir.string() +
         "\n"
         "\n"
         "Exit status:\n" +
         ExitStatusLines() +
         "\n"
         "See Quorvex(1).\n";
}

std::string VersionText() {
  return "Quorvex " + std::string(kVersionNumber) + "\n" + std::string(kCopyright);
}

CommandLine ReadCommandLine(const std::vector<std::string>& arguments) {
  static constexpr std::pair<std::string_view, Command> kAlone[] = {
      {"--check", Command::kCheck},
      {"--help", Command::kHelp},
      {"--version", Command::kVersion},
      {"--drain", Command::kDrain},
      {"--list-queue", Command::kListQueue}};
  if (arguments.empty() || !arguments[0].starts_with("-")) {
    return {Command::kDeliver, {}, ""};  // the request stays where it is: it may be long
  }
  const std::string& option = arguments[0];
  if (option == "--queue") {
    return {Command::kQueue, {arguments.begin() + 1, arguments.end()}, ""};
  }
  if (option == "--requeue" || option == "--remove") {
    const Command command = option == "--requeue" ? Command::kRequeue : Command::kRemove;
    return arguments.size() == 2
               ? CommandLine{command, {arguments[1]}, ""}
               : CommandLine{command, {}, "option '" + option + "' takes one item ID"};
  }
  for (const auto& [name, command] : kAlone) {
    if (option == name) {
      return arguments.size() == 1
                 ? CommandLine{command, {}, ""}
                 : CommandLine{command, {}, "option '" + option + "' takes no arguments"};
    }
  }
  return {Command::kDeliver, {}, "unknown option '" + QuotedValue(option) + "'"};
}

}  // namespace quorvex
