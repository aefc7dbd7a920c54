#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Text helpers. Linux hands the recorder bytes (device names, paths, control
// lines); these turn them into valid UTF-8 and read the few number forms the
// command line and the control channel accept.
namespace quilltap {

/// `bytes` with every invalid UTF-8 sequence replaced by U+FFFD.
std::string validUtf8(std::string_view bytes);

/// The code points of `text`, which must be valid UTF-8 (see validUtf8).
std::vector<char32_t> codePoints(std::string_view text);
void appendUtf8(std::string& out, char32_t cp);

/// Default lower-case mapping of every code point, independent of the locale.
std::string lowercase(std::string_view text);

/// Unicode general category Zs.
bool isSpaceSeparator(char32_t cp);
/// Unicode general categories Cc and Cf.
bool isControlOrFormat(char32_t cp);

/// `text` without leading and trailing Zs characters and tabs.
std::string trimSpaces(std::string_view text);

/// A decimal integer: an optional sign, then digits only, within 64 bits.
std::optional<std::int64_t> parseInteger(std::string_view text);

/// A number as strtof reads it in the C locale, with the whole text consumed
/// and no leading white space.
std::optional<float> parseFloat(std::string_view text);

/// The pieces of `text` between the commas, empty pieces left out.
std::vector<std::string_view> splitNonEmpty(std::string_view text, char separator);

/// A list of gains (`--gains`, the "gains" line): the numbers between the
/// commas, others left out.
std::vector<float> parseGains(std::string_view text);

}  // namespace quilltap
