#include "app/frm_quorvex.h"
#include "config/config_file.h"
#include "config/reader.h"

namespace quorvex {

bool frmQuorvex::LoadConfiguration() {
  const std::optional<std::string> bytes = ReadRegularFile(platform_.exeDir, "Quorvex.ini");
  if (!bytes) {
    StopWithNotice("ERROR: Quorvex.INI not found in application directory - quitting",
                   "Quorvex.INI doesn't exists in the application directory..");
    return false;
  }
  settings = ReadConfiguration(*bytes);
  if (settings.ComPort == 0) {
    StopWithNotice("ERROR: ComPort parameter not found in Quorvex.INI file - quitting",
                   "No ComPort parameter defined in Quorvex.INI - ie. 'ComPort=2'");
    return false;
  }
  if (settings.SMSPhone.empty()) {
    StopWithNotice("ERROR: SMSPhone parameter not found in Quorvex.INI file - quitting",
                   "No SMSPhone parameter defined in Quorvex.INI - ie. 'SMSPhone=9,012345678'");
    return false;
  }
  return true;
}

void frmQuorvex::StopWithNotice(std::string_view logLine, std::string_view notice) {
  WriteTrace(logLine);
  state_.stopReason = notice;
  platform_.notices.Notify(notice, NoticeKind::kCritical);
}

}  // namespace quorvex
