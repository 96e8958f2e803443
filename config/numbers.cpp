#include "config/numbers.h"

#include <cmath>
#include <cstdlib>
#include <string>

namespace quorvex {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsSign(char c) {
  return c == '+' || c == '-';
}
bool IsExponentLetter(char c) {
  return c == 'E' || c == 'e';
}

// Walks a number in text, copying its significant characters into `number` for strtod.
class NumberScanner {
 public:
  NumberScanner(std::string_view text, bool skipInnerSpace)
      : text_(text), skipInnerSpace_(skipInnerSpace) {}

  // Sign, digits, point and fraction; false when no digit was found.
  bool ScanMantissa() {
    Skip();
    if (Peek(IsSign)) {
      number_ += text_[pos_++];
    }
    size_t digits = ScanDigits();
    if (Peek([](char c) { return c == '.'; })) {
      number_ += text_[pos_++];
      digits += ScanDigits();
    }
    return digits > 0;
  }

  // An exponent counts only with digits after the letter; otherwise nothing is taken.
  void ScanExponent() {
    const size_t start = pos_;
    const size_t kept = number_.size();
    Skip();
    if (!Peek(IsExponentLetter)) {
      pos_ = start;
      return;
    }
    number_ += text_[pos_++];
    Skip();
    if (Peek(IsSign)) {
      number_ += text_[pos_++];
    }
    if (ScanDigits() == 0) {
      pos_ = start;
      number_.resize(kept);
    }
  }

  bool AtEndAfterBlanks() const {
    return text_.find_first_not_of(' ', pos_) == std::string_view::npos;
  }
  double Value() const { return std::strtod(number_.c_str(), nullptr); }

 private:
  template <typename Test>
  bool Peek(Test test) const {
    return pos_ < text_.size() && test(text_[pos_]);
  }

  size_t ScanDigits() {
    size_t count = 0;
    for (Skip(); Peek(IsDigit); Skip()) {
      number_ += text_[pos_++];
      ++count;
    }
    return count;
  }

  void Skip() {
    while (skipInnerSpace_ && pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t')) {
      ++pos_;
    }
  }

  std::string_view text_;
  bool skipInnerSpace_;
  size_t pos_ = 0;
  std::string number_;
};

}  // namespace

double NumericPrefix(std::string_view text) {
  NumberScanner scanner(text, true);
  if (!scanner.ScanMantissa()) {
    return 0;
  }
  scanner.ScanExponent();
  return scanner.Value();
}

std::optional<double> StrictDecimal(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) {
    return std::nullopt;
  }
  NumberScanner scanner(text.substr(first), false);
  if (!scanner.ScanMantissa()) {
    return std::nullopt;
  }
  scanner.ScanExponent();
  if (!scanner.AtEndAfterBlanks()) {
    return std::nullopt;
  }
  return scanner.Value();
}

std::optional<long long> RoundToRange(double value, long long low, long long high) {
  // nearbyint follows the current rounding mode, which is to-nearest-even unless changed.
  const double rounded = std::nearbyint(value);
  if (!(rounded >= static_cast<double>(low) && rounded <= static_cast<double>(high))) {
    return std::nullopt;
  }
  return static_cast<long long>(rounded);
}

}  // namespace quorvex
