// Decimal numbers from file text, the same whatever the user's locale: a prefix of the token
// is converted (leading white space skipped, conversion stops at the first character that
// cannot continue the number), text that is no number gives 0, and out-of-range values follow
// the text-to-double rules (overflow gives infinity, underflow zero).
#pragma once

#include <charconv>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <type_traits>

namespace text {

double parseDouble(std::string_view token);

// The double rounded to float32.
inline float parseFloat(std::string_view token) { return static_cast<float>(parseDouble(token)); }

// Optional sign and decimal digits; values beyond int32 saturate at its limits.
int32_t parseInt32(std::string_view token);
int32_t parseInt32(std::u16string_view token);

// Calls `f(token)` for each run of characters not in `separators`, in order; empty runs are
// skipped (as strtok does). Returns how many tokens were visited, stopping early when `f`
// returns false.
template <class Char, class F>
std::size_t forEachToken(std::basic_string_view<Char> line, std::basic_string_view<Char> separators,
                         F&& f) {
  std::size_t count = 0;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && separators.find(line[i]) != std::basic_string_view<Char>::npos) ++i;
    if (i == line.size()) break;
    std::size_t start = i;
    while (i < line.size() && separators.find(line[i]) == std::basic_string_view<Char>::npos) ++i;
    ++count;
    if (!f(line.substr(start, i - start))) break;
  }
  return count;
}

namespace detail {

inline bool endsNumberToken(const char* p, const char* end) {
  return p == end || *p == ' ' || *p == '\n';
}

// A plain decimal ("-12.375", "0.5", "7") of at most 15 significant digits and at most 22
// after the point: the digits form an integer and one division by a power of ten, both exact
// doubles, gives the correctly rounded value, the same that the text-to-double rules give.
// Returns the end of the number, or null when the token is of any other form.
inline const char* plainDecimal(const char* p, const char* end, double& value) {
  static constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                            1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                            1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  const bool negative = p < end && *p == '-';
  const char* q = p + (negative ? 1 : 0);
  uint64_t mantissa = 0;
  int digits = 0;
  int fraction = 0;
  while (q < end && *q >= '0' && *q <= '9' && digits < 16) {
    mantissa = mantissa * 10 + static_cast<uint64_t>(*q++ - '0');
    ++digits;
  }
  if (q < end && *q == '.') {
    ++q;
    while (q < end && *q >= '0' && *q <= '9' && digits < 16) {
      mantissa = mantissa * 10 + static_cast<uint64_t>(*q++ - '0');
      ++digits;
      ++fraction;
    }
  }
  // More than 15 digits may not be exact in a double: left to the general conversion.
  if (digits == 0 || digits > 15 || fraction > 22 || !endsNumberToken(q, end)) return nullptr;
  double v = static_cast<double>(mantissa);
  if (fraction > 0) v /= kPowersOfTen[fraction];
  value = negative ? -v : v;
  return q;
}

// The loop of forEachDoubleToken and forEachInt32Token: a plain number is converted where it
// stands, in one pass; anything else (a sign "+", hexadecimal, trailing text, out of range)
// is cut out as a token and given to the general parser.
template <class T, class Fallback, class F>
void forEachNumberToken(std::string_view line, Fallback&& fallback, F&& f) {
  const char* p = line.data();
  const char* end = p + line.size();
  for (;;) {
    while (p < end && (*p == ' ' || *p == '\n')) ++p;
    if (p == end) return;
    const char c = *p;
    if constexpr (std::is_same_v<T, int32_t>) {
      // Up to nine digits cannot overflow: converted here without from_chars' checks.
      const char* q = p + (c == '-' ? 1 : 0);
      const char* digits = q;
      int32_t value = 0;
      while (q < end && q - digits < 9 && *q >= '0' && *q <= '9') value = value * 10 + (*q++ - '0');
      if (q > digits && endsNumberToken(q, end)) {
        p = q;
        if (!f(c == '-' ? -value : value)) return;
        continue;
      }
    }
    if constexpr (std::is_same_v<T, double>) {
      double value = 0;
      const char* next = plainDecimal(p, end, value);
      if (next != nullptr) {
        p = next;
        if (!f(value)) return;
        continue;
      }
    }
    if ((c >= '0' && c <= '9') || c == '-' || c == '.') {
      T value{};
      auto [next, ec] = std::from_chars(p, end, value);
      if (ec == std::errc() && endsNumberToken(next, end)) {
        p = next;
        if (!f(value)) return;
        continue;
      }
    }
    const char* start = p;
    while (!endsNumberToken(p, end)) ++p;
    if (!f(fallback(std::string_view(start, static_cast<std::size_t>(p - start))))) return;
  }
}

}  // namespace detail

// Calls f(value) for each token of `line` cut at spaces and line feeds, converted as
// parseDouble converts it, until f returns false. Number lines of model files go through
// here: one pass instead of cutting tokens and parsing them apart.
template <class F>
void forEachDoubleToken(std::string_view line, F&& f) {
  detail::forEachNumberToken<double>(line, [](std::string_view t) { return parseDouble(t); }, f);
}

// As forEachDoubleToken, with tokens converted as parseInt32 converts them.
template <class F>
void forEachInt32Token(std::string_view line, F&& f) {
  detail::forEachNumberToken<int32_t>(line, [](std::string_view t) { return parseInt32(t); }, f);
}

}  // namespace text
