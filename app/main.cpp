#include <signal.h>

#include <filesystem>
#include <system_error>

#include "app/frm_quorvex.h"
#include "modem/posix_serial_line.h"

int main(int argc, char** argv) {
  // A reader of standard error that went away must not kill the run with the line open.
  ::signal(SIGPIPE, SIG_IGN);
  quorvex::StderrNotices stderrNotices;
  quorvex::NoticeSink& notices = stderrNotices;
  std::error_code error;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) {
    const quorvex::RunError failure(
        error.value(),
        "Cannot find the program's directory from /proc/self/exe: " + error.message(),
        quorvex::kExitIoError);
    notices.Notify(quorvex::RunErrorText(failure), quorvex::NoticeKind::kPlain);
    return failure.exitStatus();
  }
  quorvex::SystemClock clock;
  quorvex::PosixSerialLine line(exe.parent_path());
  quorvex::frmQuorvex form({exe.parent_path(), {argv + 1, argv + argc}, notices, clock, line});
  return form.Form_Load();
}
