#include "base/text.h"

#include <iconv.h>
#include <locale.h>

#include <algorithm>
#include <cerrno>

namespace quorvex {

std::string DigitsAfterSignOrBlank(int64_t value) {
  return value < 0 ? std::to_string(value) : " " + std::to_string(value);
}

std::string DigitsOrEmptyForZero(int64_t value) {
  return value == 0 ? std::string() : std::to_string(value);
}

bool IsControl(char c) {
  return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

std::string BlankControls(std::string text) {
  std::replace_if(text.begin(), text.end(), IsControl, ' ');
  return text;
}

bool IsPrintableAscii(char c) {
  return c >= 0x20 && c <= 0x7E;
}

namespace {

// UTF-8 to ASCII with transliteration in C.UTF-8, without touching the process's locale.
class Transliterator {
 public:
  Transliterator() : locale_(::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{})) {
    if (locale_ != locale_t{}) {
      const locale_t previous = ::uselocale(locale_);
      converter_ = ::iconv_open("ASCII//TRANSLIT", "UTF-8");
      ::uselocale(previous);
    }
  }
  ~Transliterator() {
    if (converter_ != kNone) {
      ::iconv_close(converter_);
    }
    if (locale_ != locale_t{}) {
      ::freelocale(locale_);
    }
  }
  Transliterator(const Transliterator&) = delete;
  Transliterator& operator=(const Transliterator&) = delete;

  std::string Convert(std::string_view text) {
    std::string ascii;
    const locale_t previous = converter_ != kNone ? ::uselocale(locale_) : locale_t{};
    while (!text.empty()) {
      text.remove_prefix(converter_ != kNone ? ConvertRun(text, ascii) : 0);
      if (!text.empty() && !IsPrintableAscii(text.front()) && !IsControl(text.front())) {
        ascii += '?';  // not valid UTF-8 here, or no converter: one byte, one question mark
        text.remove_prefix(ContinuationLength(text));
      } else if (!text.empty()) {
        ascii += text.front();
        text.remove_prefix(1);
      }
    }
    if (converter_ != kNone) {
      ::uselocale(previous);
    }
    return ascii;
  }

 private:
  static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

  // Converts as much of `text` as iconv takes; returns the bytes it used.
  size_t ConvertRun(std::string_view text, std::string& ascii) {
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char buffer[256];
    for (;;) {
      char* out = buffer;
      size_t outLeft = sizeof buffer;
      const size_t result = ::iconv(converter_, &in, &inLeft, &out, &outLeft);
      ascii.append(buffer, static_cast<size_t>(out - buffer));
      if (result != static_cast<size_t>(-1) || errno != E2BIG) {
        break;
      }
    }
    ::iconv(converter_, nullptr, nullptr, nullptr, nullptr);
    return text.size() - inLeft;
  }

  // Without a converter a whole character is one "?"; with one, an invalid byte is.
  size_t ContinuationLength(std::string_view text) const {
    if (converter_ != kNone) {
      return 1;
    }
    size_t length = 1;
    while (length < text.size() && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) {
      ++length;
    }
    return length;
  }

  locale_t locale_;
  iconv_t converter_ = kNone;
};

}  // namespace

std::string SevenBitText(std::string_view text) {
  static Transliterator transliterator;
  return BlankControls(transliterator.Convert(BlankControls(std::string(text))));
}

std::string QuotedValue(std::string_view value) {
  constexpr size_t kLongest = 40;
  if (value.size() <= kLongest) {
    return BlankControls(std::string(value));
  }
  return BlankControls(std::string(value.substr(0, kLongest))) + "...";
}

}  // namespace quorvex
