#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "app/frm_quorvex.h"
#include "app/usage.h"
#include "base/write_all.h"
#include "modem/posix_serial_line.h"
#include "modem/stop_signals.h"

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
  StderrNotices stderrNotices;
  NoticeSink& notices = stderrNotices;
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    const RunError failure(error.value(),
                           "Cannot find the program's directory from "
                           "/proc/self/exe: " +
                               error.message());
    notices.Notify(RunErrorText(failure), NoticeKind::kPlain);
    return ExitStatus(Ending::kRunError);
  }
  std::vector<std::string> arguments(argv + 1, argv + argc);
  if (const std::optional<std::string> information =
          InformationRequested(arguments, exe.parent_path())) {
    return WriteAll(STDOUT_FILENO, *information) == 0 ? 0 : ExitStatus(Ending::kRunError);
  }
  SystemClock clock;
  PosixSerialLine line(exe.parent_path());
  SyslogHistory history;
  frmQuorvex form({exe.parent_path(), std::move(arguments), notices, clock, line, history});
  return form.Form_Load();
}
