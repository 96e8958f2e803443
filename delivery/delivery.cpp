#include "app/frm_quorvex.h"
#include "app/renderings.h"

namespace quorvex {
namespace {

constexpr std::string_view kInitialise = "AT&FE0V1&C1&D2S0=0\r";
constexpr std::string_view kReset = "ATZ\r";
constexpr std::string_view kEndOfLine = "\r";
constexpr float kRetryPause = 3.0F;

bool Contains(std::string_view answer, std::string_view word) {
  return answer.find(word) != std::string_view::npos;
}

}  // namespace

bool frmQuorvex::Quorvex(std::string& tmpMessage, const std::string& tmpSendToNumber) {
  int attempt = 1;
  for (;;) {
    const AttemptOutcome outcome = RunAttempt(attempt, tmpMessage, tmpSendToNumber);
    if (outcome == AttemptOutcome::kAccepted) {
      WriteTrace("SMS message to '" + tmpSendToNumber +
                 "' was passed to messaging service successfully.");
      CloseCommunications();
      return true;
    }
    if (outcome == AttemptOutcome::kNoDialTone) {
      WriteTrace("ERROR: Modem reports that no DialTone was seen..");
      CloseCommunications();
      return false;
    }
    if (!RetryAfterFault(outcome, attempt)) {
      CloseCommunications();
      return false;
    }
  }
}

frmQuorvex::AttemptOutcome frmQuorvex::RunAttempt(int attempt, std::string& tmpMessage,
                                                  const std::string& tmpSendToNumber) {
  WriteTrace("Opening communications .. attempt number" + SignedBlank(attempt) + " of" +
             SignedBlank(settings.MaxAttempts));
  OpenLine();
  WriteTrace("Initializing Modem on COM" + Hash(settings.ComPort));
  if (!Contains(SMS(kInitialise, 2), "OK")) {
    return AttemptOutcome::kModemFault;
  }
  WriteTrace("Modem responds as expected, about to dial Vodafone service on '" + settings.SMSPhone +
             "'");
  const std::string dialAnswer = SMS("ATDT" + settings.SMSPhone + "\r", 30);
  if (!Contains(dialAnswer, "CONNECT")) {
    return Contains(dialAnswer, "NO DIAL TONE") ? AttemptOutcome::kNoDialTone
                                                : AttemptOutcome::kCallFault;
  }
  WriteTrace("Passing target number '" + tmpSendToNumber + "' to messaging service..");
  SMS(tmpSendToNumber + "\r", 2);
  const std::string& prepared = FixMessage(tmpMessage);
  WriteTrace("Passing fixed message '" + prepared + "' to messaging service..");
  // The service may accept before the final CR, or split its answer across both reads.
  const std::string afterMessage = SMS(prepared, 2);
  WriteTrace("Finishing call..");
  const std::string answer = afterMessage + SMS(kEndOfLine, 2);
  return Contains(answer, "MESSAGE ACCEPTED") ? AttemptOutcome::kAccepted
                                              : AttemptOutcome::kHandOverFault;
}

bool frmQuorvex::RetryAfterFault(AttemptOutcome fault, int& attempt) {
  const std::string port = Hash(settings.ComPort);
  if (fault == AttemptOutcome::kModemFault) {
    WriteTrace("WARNING: Modem on COM" + port + " didn't respond as expected..");
  } else if (fault == AttemptOutcome::kCallFault) {
    WriteTrace("WARNING: Call not successful on modem on COM" + port);
  } else {
    WriteTrace("WARNING: SMS delivery was not successful");
  }
  ++attempt;
  if (!SMSRetry(attempt, settings.MaxAttempts)) {
    if (fault == AttemptOutcome::kModemFault) {
      WriteTrace("WARNING: Maximum of" + SignedBlank(settings.MaxAttempts) +
                 " attempts - abandoning SMS delivery.. sorry!");
    }
    return false;
  }
  const bool handOver = fault == AttemptOutcome::kHandOverFault;
  WriteTrace(handOver ? "Preparing for retry.." : "Preparing to Retry..");
  SMS(kReset, 1);
  CloseLine();
  if (!handOver) {
    Pause(kRetryPause);
  }
  return true;
}

// Compared in full width: a maximum of 32767 must not overflow into a run error.
bool frmQuorvex::SMSRetry(int tmpTCount, int16_t tmpMCount) {
  if (tmpTCount > tmpMCount) {
    return false;
  }
  Pause(kRetryPause);
  return true;
}

void frmQuorvex::CloseCommunications() {
  SMS(kReset, 1);
  WriteTrace("Closing communications..");
  CloseLine();
}

const std::string& frmQuorvex::FixMessage(std::string& tmpMessage) {
  for (char& c : tmpMessage) {
    if (c == '_') {
      c = '-';
    }
  }
  return tmpMessage;
}

}  // namespace quorvex
