#include "delivery/message_delivery.h"

#include "base/run_error.h"
#include "base/text.h"
#include "delivery/modem_commands.h"

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

// What the modem said instead of OK: its first line, quoted as error texts quote values.
std::string AnswerToInitialisation(std::string_view answer) {
  const size_t start = answer.find_first_not_of("\r\n");
  if (start == std::string_view::npos) {
    return "did not answer the initialisation";
  }
  const std::string_view line = answer.substr(start, answer.find_first_of("\r\n", start) - start);
  // A modem that only echoes (or a line looped back) says nothing of its own.
  if (answer.find_first_not_of("\r\n", start + line.size()) == std::string_view::npos &&
      kInitialise.starts_with(line) && kInitialise.size() == line.size() + 1) {
    return "echoed the initialisation and gave no answer";
  }
  return "answered '" + QuotedValue(line) + "' to the initialisation";
}

}  // namespace

bool MessageDelivery::Quorvex(std::string& tmpMessage, const std::string& tmpSendToNumber) {
  for (int attempt = 1;; ++attempt) {
    progress_.attempts = attempt;
    const AttemptOutcome outcome = RunAttempt(attempt, tmpMessage, tmpSendToNumber);
    if (outcome == AttemptOutcome::kAccepted) {
      LogAcceptance(tmpSendToNumber);
      CloseCommunications();
      return true;
    }
    if (outcome == AttemptOutcome::kNoDialTone) {
      host_.WriteTrace("ERROR: Modem reports that no DialTone was seen..");
      CloseCommunications();
      return false;
    }
    progress_.handOverFaults += outcome == AttemptOutcome::kHandOverFault ? 1 : 0;
    LogFault(outcome);
    if (!SMSRetry(attempt + 1, settings_.MaxAttempts)) {
      if (outcome == AttemptOutcome::kModemFault) {
        host_.WriteTrace("WARNING: Maximum of" + DigitsAfterSignOrBlank(settings_.MaxAttempts) +
                         " attempts - abandoning SMS delivery.. sorry!");
      }
      CloseCommunications();
      return false;
    }
    PrepareRetry(outcome);
  }
}

MessageDelivery::AttemptOutcome MessageDelivery::RunAttempt(int attempt, std::string& tmpMessage,
                                                            const std::string& tmpSendToNumber) {
  host_.WriteTrace("Opening communications .. attempt number" + DigitsAfterSignOrBlank(attempt) +
                   " of" + DigitsAfterSignOrBlank(settings_.MaxAttempts));
  host_.OpenLine();
  host_.WriteTrace("Initializing Modem on COM" + DigitsOrEmptyForZero(settings_.ComPort));
  if (!Contains(host_.SMS(kInitialise, kInitialiseWait), "OK")) {
    return AttemptOutcome::kModemFault;
  }
  host_.WriteTrace("Modem responds as expected, about to dial Vodafone service on '" +
                   settings_.SMSPhone + "'");
  const std::string dialAnswer = host_.SMS("ATDT" + settings_.SMSPhone + "\r", kDialWait);
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
bool MessageDelivery::PassRequest(std::string& tmpMessage, const std::string& tmpSendToNumber) {
  host_.WriteTrace("Passing target number '" + tmpSendToNumber + "' to messaging service..");
  if (Contains(host_.SMS(tmpSendToNumber + "\r", kNumberWait), "NO CARRIER")) {
    return false;
  }
  // The line keeps seven bits: anything else would reach the service as other characters.
  tmpMessage = SevenBitText(tmpMessage);
  const std::string& prepared = FixMessage(tmpMessage);
  host_.WriteTrace(Concat({"Passing fixed message '", prepared, "' to messaging service.."}));
  // The service may accept before the final CR, or split its answer across both reads.
  std::string answer;
  try {
    answer = host_.SMS(prepared, kMessageWait);
    host_.WriteTrace("Finishing call..");
    answer += host_.SMS(kEndOfLine, kFinishWait);
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
bool MessageDelivery::AcceptedBeforeTheStop(std::string answer) {
  try {
    answer += host_.ReadWhatCame();
  } catch (const RunError&) {
    // The stop is what ends the run; a line that fails now adds nothing to the answer.
  }
  return Contains(answer, kAcceptance);
}

void MessageDelivery::LogAcceptance(const std::string& tmpSendToNumber) {
  progress_.accepted = true;
  host_.Accepted();
  host_.WriteTrace("SMS message to '" + tmpSendToNumber +
                   "' was passed to messaging service successfully.");
}

bool ServiceRefused(const DeliveryProgress& progress) {
  return !progress.accepted && progress.attempts > 0 &&
         progress.handOverFaults == progress.attempts;
}

void MessageDelivery::LogFault(AttemptOutcome fault) {
  const std::string port = DigitsOrEmptyForZero(settings_.ComPort);
  if (fault == AttemptOutcome::kModemFault) {
    host_.WriteTrace("WARNING: Modem on COM" + port + " didn't respond as expected..");
  } else if (fault == AttemptOutcome::kCallFault) {
    host_.WriteTrace("WARNING: Call not successful on modem on COM" + port);
  } else {
    host_.WriteTrace("WARNING: SMS delivery was not successful");
  }
}

// Only a hand-over fault goes on at once; the modem and the call get a further pause.
void MessageDelivery::PrepareRetry(AttemptOutcome fault) {
  const bool handOver = fault == AttemptOutcome::kHandOverFault;
  host_.WriteTrace(handOver ? "Preparing for retry.." : "Preparing to Retry..");
  host_.SMS(kReset, kResetWait);
  host_.CloseLine();
  if (!handOver) {
    host_.Pause(kRetryPause);
  }
}

// Compared in full width: a maximum of 32767 must not overflow into a run error.
bool MessageDelivery::SMSRetry(int tmpTCount, int16_t tmpMCount) {
  if (tmpTCount > tmpMCount) {
    return false;
  }
  host_.Pause(kRetryPause);
  return true;
}

void MessageDelivery::CloseCommunications() {
  host_.SMS(kReset, kResetWait);
  host_.WriteTrace("Closing communications..");
  host_.CloseLine();
}

const std::string& MessageDelivery::FixMessage(std::string& tmpMessage) {
  for (char& c : tmpMessage) {
    if (c == '_') {
      c = '-';
    }
  }
  return tmpMessage;
}

// The check's line is opened and closed by the caller, as an attempt's is.
CheckAnswer CheckTheModem(DeliveryHost& host) {
  const std::string answer = host.SMS(kInitialise, kInitialiseWait);
  host.SMS(kReset, kResetWait);
  if (Contains(answer, "OK")) {
    return {true, "answers"};
  }
  return {false, AnswerToInitialisation(answer)};
}

}  // namespace quorvex
