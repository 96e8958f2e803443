#include "app/frm_quorvex.h"
#include "config/config_file.h"

namespace quorvex {

std::optional<MissingSetting> TellMissing(LoadedSettings::Missing missing) {
  using Missing = LoadedSettings::Missing;
  switch (missing) {
    case Missing::kFile:
      return MissingSetting{"ERROR: Quorvex.INI not found in application directory - quitting",
                            "Quorvex.INI doesn't exists in the application directory.."};
    case Missing::kComPort:
      return MissingSetting{"ERROR: ComPort parameter not found in Quorvex.INI file - quitting",
                            "No ComPort parameter defined in Quorvex.INI - ie. 'ComPort=2'"};
    case Missing::kSMSPhone:
      return MissingSetting{
          "ERROR: SMSPhone parameter not found in Quorvex.INI file - quitting",
          "No SMSPhone parameter defined in Quorvex.INI - ie. 'SMSPhone=9,012345678'"};
    case Missing::kNothing:
      break;
  }
  return std::nullopt;
}

bool frmQuorvex::LoadConfiguration() {
  const LoadedSettings loaded = LoadSettings(platform_.exeDir);
  settings = loaded.settings;
  if (const std::optional<MissingSetting> missing = TellMissing(loaded.missing)) {
    WriteTrace(missing->logLine);
    state_.stopReason = missing->notice;
    platform_.notices.Notify(missing->notice, NoticeKind::kCritical);
    return false;
  }
  return true;
}

}  // namespace quorvex
