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
