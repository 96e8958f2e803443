#include "app/frm_quorvex.h"

namespace quorvex {

void frmQuorvex::OpenTrace() {
  log_.Open(platform_.exeDir / "Quorvex.log");
}

void frmQuorvex::WriteTrace(std::string_view tmpMsg) {
  if (!log_.IsOpen()) {
    return;
  }
  log_.Append(FormatTraceLine(platform_.clock.LocalTime(), tmpMsg));
}

}  // namespace quorvex
