#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "config/settings.h"

namespace quorvex {

// What the message delivery needs of the main object that runs it: its log line, its timed
// exchange and plain wait, and its line's opening and closing.
class DeliveryHost {
 public:
  virtual ~DeliveryHost() = default;
  virtual void WriteTrace(std::string_view tmpMsg) = 0;
  virtual std::string SMS(std::string_view tmpOutput, int16_t tmpTime) = 0;
  virtual void Pause(float tmpTime) = 0;
  virtual void OpenLine() = 0;
  virtual void CloseLine() = 0;
  // What the line still holds, read at once (after a stop).
  virtual std::string ReadWhatCame() = 0;
  // Told the moment the service accepts, before the line is closed.
  virtual void Accepted() = 0;
};

// How far a delivery came, kept while it runs, so that a failure or a stop part-way still
// tells it: attempts begun, attempts that reached the service and were not accepted, and
// whether the service accepted.
struct DeliveryProgress {
  int attempts = 0;
  int handOverFaults = 0;
  bool accepted = false;
};

// The dialogue with modem and messaging service: the attempts, the acceptance test, the
// retry decision and the message preparation.
class MessageDelivery {
 public:
  MessageDelivery(DeliveryHost& host, const Settings& settings, DeliveryProgress& progress)
      : host_(host), settings_(settings), progress_(progress) {}

  // Delivers tmpMessage to tmpSendToNumber, retrying faults up to settings.MaxAttempts; true
  // when the service accepted it. Logs every step and leaves the line closed. Raises the
  // line's RunErrors and the stop.
  bool Quorvex(std::string& tmpMessage, const std::string& tmpSendToNumber);
  // The retry decision: when attempt tmpTCount may follow (it is at most tmpMCount), waits
  // 3 s and returns true; otherwise returns false at once. Raises the stop.
  bool SMSRetry(int tmpTCount, int16_t tmpMCount);
  // Turns every "_" of tmpMessage into "-", in place, and returns tmpMessage.
  static const std::string& FixMessage(std::string& tmpMessage);

 private:
  enum class AttemptOutcome { kAccepted, kModemFault, kCallFault, kNoDialTone, kHandOverFault };

  // One attempt, from opening the line to the service's answer, and what came of it.
  AttemptOutcome RunAttempt(int attempt, std::string& tmpMessage,
                            const std::string& tmpSendToNumber);
  // Hands the number, then the message, to the connected service; true when it accepted.
  bool PassRequest(std::string& tmpMessage, const std::string& tmpSendToNumber);
  // Whether the acceptance is in `answer` or in what the line still holds after a stop.
  bool AcceptedBeforeTheStop(std::string answer);
  // Marks the delivery accepted, tells the host and logs the success line.
  void LogAcceptance(const std::string& tmpSendToNumber);
  // Logs the warning that names what failed in an attempt.
  void LogFault(AttemptOutcome fault);
  // Resets the modem and closes the line before the next attempt, with a further pause
  // unless only the hand-over failed.
  void PrepareRetry(AttemptOutcome fault);
  // Resets the modem, logs the closing and closes the line.
  void CloseCommunications();

  DeliveryHost& host_;
  const Settings& settings_;
  DeliveryProgress& progress_;
};

// Once a delivery has ended: true when every attempt reached the service and none was
// accepted, so that the service refused this message rather than the line failing.
bool ServiceRefused(const DeliveryProgress& progress);

// The check's dialogue: the modem asked to initialise, then reset, the line left open for
// the caller to close. What it answered: "answers", or what it said instead.
struct CheckAnswer {
  bool answers = false;
  std::string outcome;  // "answers", "did not answer the initialisation", ...
};
CheckAnswer CheckTheModem(DeliveryHost& host);

}  // namespace quorvex
