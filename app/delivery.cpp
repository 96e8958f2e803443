#include "app/frm_quorvex.h"

namespace quorvex {

// The delivery itself is delivery/'s; the main object is its host and keeps its progress.
bool frmQuorvex::Quorvex(std::string& tmpMessage, const std::string& tmpSendToNumber) {
  return MessageDelivery(*this, settings, state_.delivery).Quorvex(tmpMessage, tmpSendToNumber);
}

bool frmQuorvex::SMSRetry(int tmpTCount, int16_t tmpMCount) {
  return MessageDelivery(*this, settings, state_.delivery).SMSRetry(tmpTCount, tmpMCount);
}

const std::string& frmQuorvex::FixMessage(std::string& tmpMessage) {
  return MessageDelivery::FixMessage(tmpMessage);
}

bool frmQuorvex::ServiceRefused() const {
  return quorvex::ServiceRefused(state_.delivery);
}

std::string frmQuorvex::ReadWhatCame() {
  return platform_.commSMS.ReadAll();
}

void frmQuorvex::Accepted() {
  if (platform_.acceptance != nullptr) {
    platform_.acceptance->Accepted();
  }
}

}  // namespace quorvex
