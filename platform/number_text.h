// Decimal numbers from file text, the same whatever the user's locale: a prefix of the token
// is converted (leading white space skipped, conversion stops at the first character that
// cannot continue the number), text that is no number gives 0, and out-of-range values follow
// the text-to-double rules (overflow gives infinity, underflow zero).
#pragma once

#include <charconv>
#include <cstring>
#include <cstdint>
#include <string_view>
#include <system_error>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// How many of the eight bytes at `p` (all within the text) are decimal digits before the first
// one that is not, and their value: eight characters tested and converted at once, as number
// lists of model files hold short numbers. Returns 8 (and no value) when all eight are digits.
inline int eightDigits(const char* p, uint64_t& value) {
  uint64_t chunk;
  std::memcpy(&chunk, p, sizeof chunk);  // the first character in the lowest byte
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  // A byte is a digit when its high nibble is 3 and adding 6 leaves it 3 (0x30 to 0x39). A carry
  // out of a byte that is no digit only disturbs bytes after it, which are not used.
  const uint64_t notDigit = ((chunk & (0xF0 * kOnes)) ^ (0x30 * kOnes)) |
                            (((chunk + 0x06 * kOnes) & (0xF0 * kOnes)) ^ (0x30 * kOnes));
  // The high bit of each byte that is not zero.
  const uint64_t marks = (((notDigit & (0x7F * kOnes)) + 0x7F * kOnes) | notDigit) & (0x80 * kOnes);
  if (marks == 0) return 8;
  const int count = __builtin_ctzll(marks) / 8;
  if (count == 0) {
    value = 0;
    return 0;
  }
  // The digits moved to the high end (leading zeros below), then combined pairwise.
  uint64_t d = (chunk - 0x30 * kOnes) << (8 * (8 - count));
  d = (d * 10 + (d >> 8)) & 0x00FF00FF00FF00FFull;
  d = (d * 100 + (d >> 16)) & 0x0000FFFF0000FFFFull;
  d = (d * 10000 + (d >> 32)) & 0xFFFFFFFFull;
  value = d;
  return count;
}

// A plain decimal ("-12.375", "0.5", "7") of at most 15 significant digits and at most 22
// after the point: the digits form an integer and one division by a power of ten, both exact
// doubles, gives the correctly rounded value, the same that the text-to-double rules give.
// Returns the end of the number, or null when the token is of any other form.
inline const char* plainDecimalByDigit(const char* p, const char* end, double& value) {
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

// As plainDecimalByDigit, taking whole parts of fewer than eight digits at once where the text
// goes on far enough; longer parts go digit by digit.
[[gnu::always_inline]] inline const char* plainDecimal(const char* p, const char* end,
                                                       double& value) {
  static constexpr double kPowersOfTen[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7};
  const bool negative = *p == '-';
  const char* q = p + (negative ? 1 : 0);
  // Integer part, point and fraction part within reach of the eight-byte reads.
  if (end - q < 17) return plainDecimalByDigit(p, end, value);
  uint64_t whole = 0;
  int wholeDigits;
  if (q[1] == '.' && static_cast<unsigned>(q[0] - '0') < 10) {
    // One digit before the point, the most common form in model files: no eight-byte read.
    whole = static_cast<uint64_t>(q[0] - '0');
    wholeDigits = 1;
  } else {
    wholeDigits = eightDigits(q, whole);
    if (wholeDigits == 8) return plainDecimalByDigit(p, end, value);
  }
  q += wholeDigits;
  uint64_t part = 0;
  int fraction = 0;
  if (*q == '.') {
    ++q;
    fraction = eightDigits(q, part);
    if (fraction == 8) return plainDecimalByDigit(p, end, value);
    q += fraction;
  }
  if (wholeDigits + fraction == 0 || !endsNumberToken(q, end)) return nullptr;
  // At most 14 digits: exact in the integer and in the double.
  double v = static_cast<double>(whole * static_cast<uint64_t>(kPowersOfTen[fraction]) + part);
  if (fraction > 0) v /= kPowersOfTen[fraction];
  value = negative ? -v : v;
  return q;
}

// Converts the token that starts at `p` (no separator) and calls `f` with its value; `stop` is
// set when `f` returns false. Returns the end of the token. A plain number is converted where
// it stands; anything else (a sign "+", hexadecimal, trailing text, out of range) is cut out as
// a token and given to the general parser.
// Always inlined: as a call, saving and restoring registers cost as much as a short number's
// conversion.
template <class T, class Fallback, class F>
[[gnu::always_inline]] inline const char* convertNumberToken(const char* p, const char* end,
                                                             Fallback& fallback, F& f, bool& stop) {
  const char c = *p;
  if constexpr (std::is_same_v<T, int32_t>) {
    // Up to nine digits cannot overflow: converted here without from_chars' checks.
    const char* q = p + (c == '-' ? 1 : 0);
    const char* digits = q;
    int32_t value = 0;
    uint64_t run = 0;
    int count = end - q >= 8 ? eightDigits(q, run) : 8;
    if (count < 8) {
      value = static_cast<int32_t>(run);
      q += count;
    } else {
      while (q < end && q - digits < 9 && *q >= '0' && *q <= '9') value = value * 10 + (*q++ - '0');
    }
    if (q > digits && endsNumberToken(q, end)) {
      stop = !f(c == '-' ? -value : value);
      return q;
    }
  }
  if constexpr (std::is_same_v<T, double>) {
    double value = 0;
    const char* next = plainDecimal(p, end, value);
    if (next != nullptr) {
      stop = !f(value);
      return next;
    }
  }
  if ((c >= '0' && c <= '9') || c == '-' || c == '.') {
    T value{};
    auto [next, ec] = std::from_chars(p, end, value);
    if (ec == std::errc() && endsNumberToken(next, end)) {
      stop = !f(value);
      return next;
    }
  }
  const char* start = p;
  while (!endsNumberToken(p, end)) ++p;
  stop = !f(fallback(std::string_view(start, static_cast<std::size_t>(p - start))));
  return p;
}

// Bit i set when p[i] is a space or a line feed, for the 64 bytes at `p`.
inline uint64_t separatorBits(const char* p) {
#if defined(__SSE2__)
  const __m128i space = _mm_set1_epi8(' ');
  const __m128i lineFeed = _mm_set1_epi8('\n');
  uint64_t bits = 0;
  for (int i = 0; i < 4; ++i) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    const __m128i hits = _mm_or_si128(_mm_cmpeq_epi8(chunk, space), _mm_cmpeq_epi8(chunk, lineFeed));
    bits |= static_cast<uint64_t>(static_cast<uint32_t>(_mm_movemask_epi8(hits))) << (16 * i);
  }
  return bits;
#else
  uint64_t bits = 0;
  for (int i = 0; i < 64; ++i) bits |= static_cast<uint64_t>(p[i] == ' ' || p[i] == '\n') << i;
  return bits;
#endif
}

// The loop of forEachDoubleToken and forEachInt32Token. Where the text goes on far enough, the
// tokens of 64 bytes at a time are found from their separators first, so that where one token
// starts never waits for the conversion of the one before it.
template <class T, class Fallback, class F>
void forEachNumberToken(std::string_view line, Fallback&& fallback, F&& f) {
  // The conversions read up to 17 bytes past a token's start (eight-byte loads).
  constexpr std::ptrdiff_t kWindow = 64, kReadAhead = 24;
  const char* p = line.data();
  const char* end = p + line.size();
  bool stop = false;
  for (;;) {
    while (p < end && (*p == ' ' || *p == '\n')) ++p;
    if (p == end) return;
    if (end - p >= kWindow + kReadAhead) {
      const uint64_t separators = separatorBits(p);
      const uint64_t others = ~separators;
      uint64_t starts = others & ((separators << 1) | 1);  // p is a token's first character
      uint64_t ends = separators & (others << 1);
      if (ends != 0) {
        int last = 0;
        while (ends != 0) {  // starts and ends alternate, a start first
          const int first = __builtin_ctzll(starts);
          last = __builtin_ctzll(ends);
          starts &= starts - 1;
          ends &= ends - 1;
          convertNumberToken<T>(p + first, end, fallback, f, stop);
          if (stop) return;
        }
        p += last;
        continue;
      }
    }
    // A token longer than the window, or near the end of the text.
    p = convertNumberToken<T>(p, end, fallback, f, stop);
    if (stop) return;
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
