#include "app/frm_quorvex.h"
#include "app/modem_commands.h"
#include "base/text.h"

namespace quorvex {
namespace {

constexpr std::string_view kEndOfLine = "\r";

// The dialogue's fixed waits in seconds: 39 in all for an attempt that succeeds.
constexpr int16_t kDialWait = 30;
constexpr int16_t kNumberWait = 2;
constexpr int16_t kMessageWait = 2;
constexpr int16_t kFinishWait = 2;
constexpr float kRetryPause = 3.0F;
// What the service answers once it has taken the message.
constexpr std::string_view kAcceptance = "MESSAGE ACCEPTED";

// Most chipsets say NO DIALTONE, as V.250 words it; others NO DIAL TONE.
bool NoDialTone(std::string_view dialAnswer) {
  return Contains(dialAnswer, "NO DIAL TONE") || Contains(dialAnswer, "NO DIALTONE");
}

// NO CARRIER after CONNECT: the call dropped and the modem takes commands again, so
// anything sent now would be read as one.
bool DroppedAfterConnect(std::string_view dialAnswer) {
  return dialAnswer.find("NO CARRIER", dialAnswer.find("CONNECT")) != std::string_view::npos;
}

}  // namespace

bool frmQuorvex::Quorvex(std::string& tmpMessage, const std::string& tmpSendToNumber) {
  for (int attempt = 1;; ++attempt) {
    state_.attempts = attempt;
    const AttemptOutcome outcome = RunAttempt(attempt, tmpMessage, tmpSendToNumber);
    if (outcome == AttemptOutcome::kAccepted) {
      LogAcceptance(tmpSendToNumber);
      CloseCommunications();
      return true;
    }
    if (outcome == AttemptOutcome::kNoDialTone) {
      WriteTrace("ERROR: Modem reports that no DialTone was seen..");
      CloseCommunications();
      return false;
    }
    state_.handOverFaults += outcome == AttemptOutcome::kHandOverFault ? 1 : 0;
    LogFault(outcome);
    if (!SMSRetry(attempt + 1, settings.MaxAttempts)) {
      if (outcome == AttemptOutcome::kModemFault) {
        WriteTrace("WARNING: Maximum of" + DigitsAfterSignOrBlank(settings.MaxAttempts) +
                   " attempts - abandoning SMS delivery.. sorry!");
      }
      CloseCommunications();
      return false;
    }
    PrepareRetry(outcome);
  }
}

frmQuorvex::AttemptOutcome frmQuorvex::RunAttempt(int attempt, std::string& tmpMessage,
                                                  const std::string& tmpSendToNumber) {
  WriteTrace("Opening communications .. attempt number" + DigitsAfterSignOrBlank(attempt) + " of" +
             DigitsAfterSignOrBlank(settings.MaxAttempts));
  OpenLine();
  WriteTrace("Initializing Modem on COM" + DigitsOrEmptyForZero(settings.ComPort));
  if (!Contains(SMS(kInitialise, kInitialiseWait), "OK")) {
    return AttemptOutcome::kModemFault;
  }
  WriteTrace("Modem responds as expected, about to dial Vodafone service on '" + settings.SMSPhone +
             "'");
  const std::string dialAnswer = SMS("ATDT" + settings.SMSPhone + "\r", kDialWait);
  if (!Contains(dialAnswer, "CONNECT")) {
    return NoDialTone(dialAnswer) ? AttemptOutcome::kNoDialTone : AttemptOutcome::kCallFault;
  }
  if (DroppedAfterConnect(dialAnswer)) {
    return AttemptOutcome::kCallFault;
  }
  return PassRequest(tmpMessage, tmpSendToNumber) ? AttemptOutcome::kAccepted
                                                  : AttemptOutcome::kHandOverFault;
}

// True when the service accepted the message. A call that drops after the number takes
// nothing more: the message would reach the modem as a command.
bool frmQuorvex::PassRequest(std::string& tmpMessage, const std::string& tmpSendToNumber) {
  WriteTrace("Passing target number '" + tmpSendToNumber + "' to messaging service..");
  if (Contains(SMS(tmpSendToNumber + "\r", kNumberWait), "NO CARRIER")) {
    return false;
  }
  // The line keeps seven bits: anything else would reach the service as other characters.
  tmpMessage = SevenBitText(tmpMessage);
  const std::string& prepared = FixMessage(tmpMessage);
  WriteTrace(Concat({"Passing fixed message '", prepared, "' to messaging service.."}));
  // The service may accept before the final CR, or split its answer across both reads.
  std::string answer;
  try {
    answer = SMS(prepared, kMessageWait);
    WriteTrace("Finishing call..");
    answer += SMS(kEndOfLine, kFinishWait);
  } catch (const RunError& error) {
    if (error.failure() == Failure::kStopped && AcceptedBeforeTheStop(answer)) {
      LogAcceptance(tmpSendToNumber);
    }
    throw;
  }
  return Contains(answer, kAcceptance);
}

// A stop that ends a wait after the service accepted must not make the message go twice:
// what the line holds already decides.
bool frmQuorvex::AcceptedBeforeTheStop(std::string answer) {
  try {
    answer += platform_.commSMS.ReadAll();
  } catch (const RunError&) {
    // The stop is what ends the run; a line that fails now adds nothing to the answer.
  }
  return Contains(answer, kAcceptance);
}

void frmQuorvex::LogAcceptance(const std::string& tmpSendToNumber) {
  state_.accepted = true;
  if (platform_.acceptance != nullptr) {
    platform_.acceptance->Accepted();
  }
  WriteTrace("SMS message to '" + tmpSendToNumber +
             "' was passed to messaging service successfully.");
}

bool frmQuorvex::ServiceRefused() const {
  return !state_.accepted && state_.attempts > 0 && state_.handOverFaults == state_.attempts;
}

void frmQuorvex::LogFault(AttemptOutcome fault) {
  const std::string port = DigitsOrEmptyForZero(settings.ComPort);
  if (fault == AttemptOutcome::kModemFault) {
    WriteTrace("WARNING: Modem on COM" + port + " didn't respond as expected..");
  } else if (fault == AttemptOutcome::kCallFault) {
    WriteTrace("WARNING: Call not successful on modem on COM" + port);
  } else {
    WriteTrace("WARNING: SMS delivery was not successful");
  }
}

// Only a hand-over fault goes on at once; the modem and the call get a further pause.
void frmQuorvex::PrepareRetry(AttemptOutcome fault) {
  const bool handOver = fault == AttemptOutcome::kHandOverFault;
  WriteTrace(handOver ? "Preparing for retry.." : "Preparing to Retry..");
  SMS(kReset, kResetWait);
  CloseLine();
  if (!handOver) {
    Pause(kRetryPause);
  }
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
  SMS(kReset, kResetWait);
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
