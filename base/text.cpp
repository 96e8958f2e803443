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

// The length of the well-formed UTF-8 sequence at the start of `text` (RFC 3629: no
// overlong forms, no surrogates, nothing past U+10FFFF), and its code point; 0 if none.
size_t DecodeUtf8(std::string_view text, char32_t& codePoint) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || text.size() < length) {
    return 0;
  }
  codePoint = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) {
      return 0;
    }
    codePoint = (codePoint << 6) | (byte(i) & 0x3F);
  }
  constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
  return codePoint < kShortest[length] || codePoint > 0x10FFFF || surrogate ? 0 : length;
}

// Marks that take no room: joiners, direction marks, the byte-order mark.
bool IsZeroWidth(char32_t c) {
  return (c >= 0x200B && c <= 0x200F) || (c >= 0x202A && c <= 0x202E) ||
         (c >= 0x2060 && c <= 0x2064) || c == 0xFEFF;
}

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

  // Converts well-formed UTF-8 characters; each one without a converter is one "?".
  void Convert(std::string_view characters, size_t count, std::string& ascii) {
    if (converter_ == kNone) {
      ascii.append(count, '?');
      return;
    }
    const locale_t previous = ::uselocale(locale_);
    char* in = const_cast<char*>(characters.data());
    size_t inLeft = characters.size();
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
    ::uselocale(previous);
  }

 private:
  // iconv_open's failure, as iconv(3) spells it.
  static inline const iconv_t kNone =
      reinterpret_cast<iconv_t>(-1);  // NOLINT(performance-no-int-to-ptr)

  locale_t locale_;
  iconv_t converter_ = kNone;
};

// Loaded only for a text with a byte from 0x80 up: an ASCII alert needs neither the locale
// nor the converter, and is spared their memory.
Transliterator& TheTransliterator() {
  static Transliterator transliterator;
  return transliterator;
}

// The run of characters at the start of `text` that go to the converter together, and how
// many characters it holds.
std::pair<size_t, size_t> ConvertibleRun(std::string_view text) {
  size_t length = 0;
  size_t count = 0;
  char32_t c = 0;
  for (size_t step = 0; length < text.size() && (step = DecodeUtf8(text.substr(length), c)) != 0 &&
                        c >= 0xA0 && !IsZeroWidth(c);
       length += step) {
    ++count;
  }
  return {length, count};
}

// Takes what stands at the start of `text` into `ascii`; returns the bytes it used.
size_t TakeNonAscii(std::string_view text, std::string& ascii) {
  char32_t c = 0;
  const size_t length = DecodeUtf8(text, c);
  if (length == 0) {
    ascii += '?';  // one byte outside well-formed UTF-8
    return 1;
  }
  if (c < 0xA0 || IsZeroWidth(c)) {
    ascii += c < 0xA0 ? " " : "";  // a C1 control as a C0 one; a zero-width mark is nothing
    return length;
  }
  const auto [run, count] = ConvertibleRun(text);
  TheTransliterator().Convert(text.substr(0, run), count, ascii);
  return run;
}

bool IsAscii(char c) {
  return static_cast<unsigned char>(c) < 0x80;
}

}  // namespace

std::string SevenBitText(std::string_view text) {
  if (std::all_of(text.begin(), text.end(), IsAscii)) {
    return BlankControls(std::string(text));
  }
  std::string ascii;
  while (!text.empty()) {
    if (IsAscii(text.front())) {
      ascii += text.front();
      text.remove_prefix(1);
    } else {
      text.remove_prefix(TakeNonAscii(text, ascii));
    }
  }
  return BlankControls(std::move(ascii));
}

std::string Age(long long seconds) {
  constexpr std::pair<long long, char> kUnits[] = {{86400, 'd'}, {3600, 'h'}, {60, 'm'}};
  for (const auto& [length, unit] : kUnits) {
    if (seconds >= length) {
      return std::to_string(seconds / length) + unit;
    }
  }
  return std::to_string(std::max(0LL, seconds)) + "s";
}

std::string Concat(std::initializer_list<std::string_view> parts) {
  size_t length = 0;
  for (std::string_view part : parts) {
    length += part.size();
  }
  std::string joined;
  joined.reserve(length);
  for (std::string_view part : parts) {
    joined += part;
  }
  return joined;
}

namespace {

constexpr size_t kLongestQuoted = 40;

std::string CutToQuote(std::string_view value) {
  return std::string(value.substr(0, kLongestQuoted));
}

std::string Ellipsis(std::string_view value) {
  return value.size() > kLongestQuoted ? "..." : "";
}

}  // namespace

std::string QuotedValue(std::string_view value) {
  return BlankControls(CutToQuote(value)) + Ellipsis(value);
}

std::string PrintableName(std::string_view name) {
  std::string shown = CutToQuote(name);
  std::replace_if(
      shown.begin(), shown.end(), [](char c) { return !IsPrintableAscii(c); }, '?');
  return shown + Ellipsis(name);
}

}  // namespace quorvex
