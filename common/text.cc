#include "common/text.h"

#include <locale.h>
#include <stdlib.h>
#include <wctype.h>

#include <cerrno>

namespace quilltap {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the valid UTF-8 sequence at the start of `s`, or 0 if none.
std::size_t validSequenceLength(std::string_view s) {
  auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  if (byte(1) < low || byte(1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k) {
    if (byte(k) < 0x80 || byte(k) > 0xBF) return 0;
  }
  return length;
}

locale_t cLocale() {
  static locale_t c = newlocale(LC_ALL_MASK, "C", nullptr);
  return c;
}

locale_t utf8Locale() {
  static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
  return utf8;
}

}  // namespace

std::string validUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    std::size_t length = validSequenceLength(bytes);
    if (length == 0) {
      appendUtf8(out, kReplacement);
      length = 1;
    } else {
      out.append(bytes.substr(0, length));
    }
    bytes.remove_prefix(length);
  }
  return out;
}

void appendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::vector<char32_t> codePoints(std::string_view text) {
  std::vector<char32_t> out;
  out.reserve(text.size());
  while (!text.empty()) {
    std::size_t length = validSequenceLength(text);
    if (length == 0) {
      out.push_back(kReplacement);
      text.remove_prefix(1);
      continue;
    }
    auto b = [&](std::size_t k) {
      return static_cast<char32_t>(static_cast<unsigned char>(text[k]));
    };
    char32_t cp;
    switch (length) {
      case 1:
        cp = b(0);
        break;
      case 2:
        cp = ((b(0) & 0x1F) << 6) | (b(1) & 0x3F);
        break;
      case 3:
        cp = ((b(0) & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
        break;
      default:
        cp = ((b(0) & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
    }
    out.push_back(cp);
    text.remove_prefix(length);
  }
  return out;
}

std::string lowercase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  locale_t utf8 = utf8Locale();
  for (char32_t cp : codePoints(text)) {
    if (cp < 0x80) {
      appendUtf8(out, (cp >= 'A' && cp <= 'Z') ? cp + ('a' - 'A') : cp);
    } else {
      appendUtf8(out, utf8 ? static_cast<char32_t>(towlower_l(static_cast<wint_t>(cp), utf8)) : cp);
    }
  }
  return out;
}

bool isSpaceSeparator(char32_t cp) {
  return cp == 0x20 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

bool isControlOrFormat(char32_t cp) {
  if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) return true;  // Cc
  static constexpr char32_t kFormat[][2] = {
      {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},
      {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
      {0x200B, 0x200F},   {0x202A, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},
      {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
      {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
      {0xE0020, 0xE007F},
  };
  for (auto& range : kFormat) {
    if (cp >= range[0] && cp <= range[1]) return true;
  }
  return false;
}

std::string trimSpaces(std::string_view text) {
  std::vector<char32_t> cps = codePoints(text);
  std::size_t begin = 0, end = cps.size();
  auto blank = [](char32_t cp) { return cp == '\t' || isSpaceSeparator(cp); };
  while (begin < end && blank(cps[begin])) ++begin;
  while (end > begin && blank(cps[end - 1])) --end;
  std::string out;
  for (std::size_t k = begin; k < end; ++k) appendUtf8(out, cps[k]);
  return out;
}

std::optional<std::int64_t> parseInteger(std::string_view text) {
  std::size_t k = 0;
  bool negative = false;
  if (k < text.size() && (text[k] == '+' || text[k] == '-')) negative = text[k++] == '-';
  if (k == text.size()) return std::nullopt;
  // Accumulate as a negative number so that the most negative value fits.
  std::int64_t value = 0;
  constexpr std::int64_t kMin = INT64_MIN;
  for (; k < text.size(); ++k) {
    char c = text[k];
    if (c < '0' || c > '9') return std::nullopt;
    int digit = c - '0';
    if (value < (kMin + digit) / 10) return std::nullopt;
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == kMin) return std::nullopt;
    value = -value;
  }
  return value;
}

std::optional<float> parseFloat(std::string_view text) {
  if (text.empty()) return std::nullopt;
  unsigned char first = static_cast<unsigned char>(text[0]);
  if (first == ' ' || (first >= '\t' && first <= '\r')) return std::nullopt;
  std::string copy(text);  // strtof needs a terminator
  char* end = nullptr;
  errno = 0;
  float value = strtof_l(copy.c_str(), &end, cLocale());
  if (end != copy.c_str() + copy.size()) return std::nullopt;
  return value;
}

std::vector<float> parseGains(std::string_view text) {
  std::vector<float> gains;
  for (std::string_view piece : splitNonEmpty(text, ',')) {
    if (std::optional<float> gain = parseFloat(piece)) gains.push_back(*gain);
  }
  return gains;
}

std::vector<std::string_view> splitNonEmpty(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t stop = text.find(separator, start);
    if (stop == std::string_view::npos) stop = text.size();
    if (stop > start) pieces.push_back(text.substr(start, stop - start));
    start = stop + 1;
  }
  return pieces;
}

}  // namespace quilltap
