#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quorvex {

enum class Command {
  kDeliver,
  kCheck,
  kHelp,
  kVersion,
  kQueue,
  kDrain,
  kListQueue,
  kRequeue,
  kRemove
};

// What the command line asks for. A request starts with 44, so a first argument that
// begins with "-" is an option: --queue takes the request after it, the others stand
// alone. Anything else beginning with "-" is a misuse, told before any file is touched.
struct CommandLine {
  Command command = Command::kDeliver;
  std::vector<std::string> request;  // for --queue; the item's ID for --requeue and --remove
  std::string misuse;                // the notice for a misused command line, else empty
};

// Reads `arguments` (those after the program's name) without touching any file.
CommandLine ReadCommandLine(const std::vector<std::string>& arguments);

// What --help and --version print.
std::string Usage(const std::filesystem::path& exeDir);
std::string VersionText();

}  // namespace quorvex
