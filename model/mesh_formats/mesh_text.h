// Words and numbers of the mesh text formats (OBJ, MTL, ASCII PLY and STL), scanned where they
// lie in a block of text. The project's number rules hold (platform/number_text.h): a token's
// longest numeric prefix is converted, text that is no number gives 0, and the result is the
// same whatever the user's locale. Tokens here end at any blank, a line end, or a '/' where the
// caller asks (OBJ corners), which the project's token loops do not cut at.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/number_text.h"

namespace meshtext {

// Blanks separate tokens within a line; a line ends at '\n' (a '\r' before it is a blank).
inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
inline bool isDigit(char c) { return static_cast<unsigned char>(c - '0') < 10; }

inline const char* skipBlanks(const char* p, const char* end) {
  while (p < end && isBlank(*p)) ++p;
  return p;
}

// The end of the token at `p`: the first blank or line end.
inline const char* tokenEnd(const char* p, const char* end) {
  while (p < end && !isBlank(*p) && *p != '\n') ++p;
  return p;
}

// The line [p, end of line) and the position after its '\n' (or `end`).
inline std::string_view lineAt(const char* p, const char* end, const char*& next) {
  const char* feed = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
  const char* q = feed != nullptr ? feed : end;
  next = feed != nullptr ? feed + 1 : end;
  return {p, static_cast<std::size_t>(q - p)};
}

// `s` without blanks at either end.
inline std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Whether the token at `p` (within [p, end)) is exactly `word`.
inline bool isWord(const char* p, const char* end, std::string_view word) {
  const std::size_t n = word.size();
  if (static_cast<std::size_t>(end - p) < n || std::string_view(p, n) != word) return false;
  return p + n == end || isBlank(p[n]) || p[n] == '\n';
}

// Converts the number token at `p` (not a blank) that ends before `end` or at the first
// character in `stop` (blanks and '\n' always stop it), and moves `p` past the token. Plain
// decimals of up to 15 significant digits are converted here, exactly (an integer and one
// division by a power of ten, both exact doubles); every other form (exponents, '+', hex,
// inf, nan, trailing text) goes to text::parseDouble, which converts its numeric prefix.
//
// `limit` (at or after `end`) is how far the text may be read: with 17 bytes in reach, a plain
// number ending at a space or a line feed is converted eight digits at a time (the project's
// conversion), which lines that end at `end` rarely leave room for.
template <char Stop = '\n'>
inline double scanDouble(const char*& p, const char* end, const char* limit = nullptr) {
  static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const char* start = p;
  {
    double value;
    const char* next = text::detail::plainDecimal(p, limit != nullptr ? limit : end, value);
    if (next != nullptr && next <= end) {
      p = next;
      return value;
    }
  }
  const char* q = p;
  const bool negative = q < end && *q == '-';
  if (negative) ++q;
  uint64_t mantissa = 0;
  int digits = 0, fraction = 0;
  while (q < end && isDigit(*q) && digits < 16) {
    mantissa = mantissa * 10 + static_cast<uint64_t>(*q++ - '0');
    ++digits;
  }
  if (q < end && *q == '.') {
    ++q;
    while (q < end && isDigit(*q) && digits < 16) {
      mantissa = mantissa * 10 + static_cast<uint64_t>(*q++ - '0');
      ++digits;
      ++fraction;
    }
  }
  if (digits > 0 && digits <= 15 && (q == end || isBlank(*q) || *q == '\n' || *q == Stop)) {
    p = q;
    const double v = fraction > 0 ? static_cast<double>(mantissa) / kPowersOfTen[fraction]
                                  : static_cast<double>(mantissa);
    return negative ? -v : v;
  }
  while (q < end && !isBlank(*q) && *q != '\n' && *q != Stop) ++q;
  p = q;
  return text::parseDouble(std::string_view(start, static_cast<std::size_t>(q - start)));
}

// An integer token (optional sign, digits) at `p` that ends at a blank, a line end, `end` or
// `Stop`; `p` moves past it. False (p still moved past the token) when the token is empty or
// holds anything else; values beyond int64 saturate.
// As for scanDouble, `limit` is how far the text may be read.
template <char Stop = '\n'>
inline bool scanInteger(const char*& p, const char* end, int64_t& value, const char* limit = nullptr) {
  const char* q = p;
  bool negative = false;
  if (q < end && (*q == '-' || *q == '+')) negative = *q++ == '-';
  const char* digitsStart = q;
  uint64_t v = 0;
  int count = (limit != nullptr ? limit : end) - q >= 8 ? text::detail::eightDigits(q, v) : 8;
  if (count < 8 && q + count > end) count = 8;  // digits past the line: counted one by one
  if (count < 8) {
    q += count;  // up to seven digits at once, what indices mostly are
  } else {
    v = 0;
    while (q < end && isDigit(*q)) {
      v = v < (UINT64_MAX / 16) ? v * 10 + static_cast<uint64_t>(*q - '0') : (UINT64_MAX / 16);
      ++q;
    }
  }
  const bool good = q > digitsStart && (q == end || isBlank(*q) || *q == '\n' || *q == Stop);
  while (q < end && !isBlank(*q) && *q != '\n' && *q != Stop) ++q;
  p = q;
  if (v > static_cast<uint64_t>(INT64_MAX / 2)) v = static_cast<uint64_t>(INT64_MAX / 2);
  value = negative ? -static_cast<int64_t>(v) : static_cast<int64_t>(v);
  return good;
}

}  // namespace meshtext
