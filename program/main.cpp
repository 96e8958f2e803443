#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "app/command_line.h"
#include "app/frm_quorvex.h"
#include "base/exit_status.h"
#include "base/io.h"
#include "base/stop_signals.h"
#include "modem/posix_serial_line.h"
#include "spooler/monitor.h"
#include "spooler/queue_commands.h"

namespace {

// A closed standard descriptor would be taken by the log or the port, and a notice would
// then go down the modem line.
bool OpenClosedStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) != fd) {
      return false;
    }
  }
  return true;
}

// Quorvex's files live beside its real executable, wherever it was started from.
std::optional<std::filesystem::path> ProgramDirectory(quorvex::NoticeSink& notices) {
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) {
    return exe.parent_path();
  }
  const std::string what = "Cannot find the program's directory from /proc/self/exe";
  notices.Notify(
      quorvex::RunErrorText(quorvex::RunError(error.value(), what + ": " + error.message())),
      quorvex::NoticeKind::kPlain);
  return std::nullopt;
}

// Everything after the process is made safe: an out-of-memory even while the arguments are
// copied ends as a run error, not an abort.
int Main(int argc, char** argv, quorvex::NoticeSink& notices) {
  using namespace quorvex;
  const std::optional<std::filesystem::path> exeDir = ProgramDirectory(notices);
  if (!exeDir) {
    return ExitStatus(Ending::kRunError);
  }
  std::vector<std::string> arguments(argv + 1, argv + argc);
  SystemClock clock;
  // Tests name a socket of their own, so that their runs never reach the machine's journal;
  // the package never sets it.
  const char* socket = std::getenv("QUORVEX_HISTORY_SOCKET");
  SyslogHistory history(clock, socket != nullptr ? socket : "/dev/log");
  const QueueTools queue{*exeDir, notices, history, clock};
  // The monitoring plugin is this program under another name.
  if (argc > 0 && std::filesystem::path(argv[0]).filename() == "check_quorvex") {
    return CheckQuorvex(arguments, queue);
  }
  const CommandLine command = ReadCommandLine(arguments);
  if (!command.misuse.empty()) {
    notices.Notify(command.misuse + " - see Quorvex --help", NoticeKind::kPlain);
    return ExitStatus(Ending::kBadRequest);
  }
  switch (command.command) {
    case Command::kHelp:
      return PrintResult(Usage(*exeDir), notices);
    case Command::kVersion:
      return PrintResult(VersionText(), notices);
    case Command::kQueue:
      return QueueRequest(command.request, queue);
    case Command::kDrain:
      return DrainQueue(queue);
    case Command::kListQueue:
      return ListQueue(queue);
    case Command::kRequeue:
      return RequeueItems(command.request[0], queue);
    case Command::kRemove:
      return RemoveItem(command.request[0], queue);
    case Command::kCheck:
    case Command::kDeliver:
      break;
  }
  PosixSerialLine line(*exeDir, clock);
  frmQuorvex form({*exeDir, std::move(arguments), notices, clock, line, history, command.command});
  return form.Form_Load();
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quorvex;
  if (!OpenClosedStandardDescriptors()) {
    return ExitStatus(Ending::kRunError);
  }
  BlockStopSignals();
  // A reader of standard error that went away, or a file size limit, must not kill the run
  // with the line open: both become failed writes.
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGXFSZ, SIG_IGN);
  StderrNotices notices;
  try {
    return Main(argc, argv, notices);
  } catch (const std::bad_alloc&) {
    notices.Notify(RunErrorText(RunError(ENOMEM, "Out of memory")), NoticeKind::kPlain);
    return ExitStatus(Ending::kRunError);
  }
}
