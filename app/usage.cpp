#include "app/usage.h"

#include "app/version.h"

namespace quorvex {
namespace {

std::string Usage(const std::filesystem::path& exeDir) {
  return "Usage: Quorvex NUMBER,MESSAGE\n"
         "       Quorvex --help | --version\n"
         "\n"
         "Delivers one SMS text through a dial-up messaging service, driving a Hayes modem\n"
         "on a serial port. NUMBER is the recipient in international form, starting with 44;\n"
         "the text is split at the first comma, and several arguments are joined with blanks:\n"
         "\n"
         "    Quorvex 447775123456,Meet at 10:30\n"
         "\n"
         "Quorvex.ini (COMPORT=, SMSPHONE=, MAXATTEMPTS=) and Quorvex.log, the log of the\n"
         "last run, live beside the real executable (links followed), here in\n"
         "  " +
         exeDir.string() +
         "\n"
         "\n"
         "Exit status:\n"
         "  0        message accepted by the service\n"
         "  64       request empty or invalid\n"
         "  74       run error (log, serial port, line I/O)\n"
         "  75       not delivered, port in use or another run in progress: try again later\n"
         "  78       configuration missing or unusable\n"
         "  128+N    stopped by signal N before the service accepted\n"
         "\n"
         "See Quorvex(1).\n";
}

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
    return "Quorvex " + std::string(kVersionNumber) + "\n";
  }
  return std::nullopt;
}

}  // namespace quorvex
