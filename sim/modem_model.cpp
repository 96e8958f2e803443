#include "sim/modem_model.h"

#include <cstdio>
#include <utility>

namespace quorvex::sim {
namespace {

std::string Result(std::string_view word) {
  return "\r\n" + std::string(word) + "\r\n";
}

// What the modem says when a call does not connect; a silent modem says nothing.
std::string_view FailedDialWord(DialAnswer dial) {
  switch (dial) {
    case DialAnswer::kBusy:
      return "BUSY";
    case DialAnswer::kNoCarrier:
      return "NO CARRIER";
    case DialAnswer::kNoDialTone:
      return "NO DIAL TONE";
    case DialAnswer::kNoDialtone:
      return "NO DIALTONE";
    default:
      return "";
  }
}

}  // namespace

void ModemModel::LineOpened() {
  ++attempt_;
  Reset(Mode::kCommand);
}

void ModemModel::LineClosed() {
  if (mode_ != Mode::kCommand) {
    notes_.push_back("hang-up");
  }
  Reset(Mode::kCommand);
}

void ModemModel::Reset(Mode mode) {
  mode_ = mode;
  line_.clear();
  dialDue_.reset();
  accepted_ = false;
}

const Behaviour& ModemModel::Current() const {
  return attempt_ <= config_.firstAttempts ? config_.first : config_.later;
}

std::string ModemModel::Receive(std::string_view bytes, double now) {
  std::string reply;
  for (char c : bytes) {
    if (mode_ == Mode::kDialling) {
      reply += AbortDial();  // the byte that aborts is lost
      continue;
    }
    if (mode_ == Mode::kDone) {
      continue;  // nothing the caller types matters now
    }
    if (mode_ == Mode::kCommand && echo_) {
      reply += c;
    }
    if (c != '\r') {
      if (mode_ == Mode::kMessage && line_.empty()) {
        reply += EarlyAcceptance();
      }
      if (c != '\n' || mode_ != Mode::kCommand) {
        line_ += c;
      }
      continue;
    }
    const std::string line = std::exchange(line_, std::string());
    reply += mode_ == Mode::kCommand ? CommandLine(line, now) : ServiceLine(line);
  }
  return reply;
}

std::string ModemModel::CommandLine(const std::string& line, double now) {
  if (line.empty() || Current().modem == ModemAnswer::kSilent) {
    return "";
  }
  if (!line.starts_with("AT")) {
    return "";
  }
  if (Current().modem == ModemAnswer::kError) {
    return Result("ERROR");
  }
  if (line.find("E0") != std::string::npos || line == "ATZ") {
    echo_ = line == "ATZ";
  }
  if (line.starts_with("ATD")) {
    notes_.push_back("dial " + Escape(line.substr(line.starts_with("ATDT") ? 4 : 3)));
    mode_ = Mode::kDialling;
    dialDue_ = now + config_.dialDelay;
    return "";
  }
  return Result("OK");
}

std::string ModemModel::Tick(double now) {
  if (!dialDue_ || *dialDue_ > now) {
    return "";
  }
  dialDue_.reset();
  return DialResult();
}

std::string ModemModel::DialResult() {
  if (Current().dial == DialAnswer::kConnect) {
    mode_ = Mode::kNumber;
    notes_.push_back("connect");
    if (Current().drop == Drop::kAfterConnect) {
      return Result("CONNECT 9600") + DropCall();
    }
    return Result("CONNECT 9600");
  }
  mode_ = Mode::kCommand;
  const std::string_view word = FailedDialWord(Current().dial);
  return word.empty() ? "" : Result(word);
}

std::string ModemModel::ServiceLine(const std::string& line) {
  if (mode_ == Mode::kNumber) {
    notes_.push_back("service-number " + Escape(line));
    mode_ = Mode::kMessage;
    return Current().drop == Drop::kAfterNumber ? DropCall() : "";
  }
  notes_.push_back("service-message " + Escape(line));
  mode_ = Mode::kDone;
  if (Current().acceptance == Acceptance::kEarly) {
    return EarlyAcceptance();  // an empty message has no first byte to answer
  }
  if (Current().acceptance == Acceptance::kNever) {
    return "";
  }
  notes_.push_back("accepted");
  return Result("MESSAGE ACCEPTED");
}

std::string ModemModel::AbortDial() {
  Reset(Mode::kCommand);
  notes_.push_back("dial-aborted");
  return Result("NO CARRIER");
}

std::string ModemModel::DropCall() {
  mode_ = Mode::kCommand;
  notes_.push_back("drop");
  return Result("NO CARRIER");
}

// Answers as the first byte of the message arrives, before the final CR.
std::string ModemModel::EarlyAcceptance() {
  if (Current().acceptance != Acceptance::kEarly || accepted_) {
    return "";
  }
  accepted_ = true;
  notes_.push_back("accepted");
  return Result("MESSAGE ACCEPTED");
}

std::vector<std::string> ModemModel::TakeNotes() {
  return std::exchange(notes_, {});
}

std::string Escape(std::string_view bytes) {
  std::string escaped = "\"";
  for (unsigned char c : bytes) {
    if (c == '\r') {
      escaped += "\\r";
    } else if (c == '\n') {
      escaped += "\\n";
    } else if (c == '"' || c == '\\') {
      escaped += '\\';
      escaped += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      escaped += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      escaped += hex;
    }
  }
  return escaped + "\"";
}

}  // namespace quorvex::sim
