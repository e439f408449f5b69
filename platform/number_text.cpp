#include "platform/number_text.h"

#include <charconv>
#include <clocale>
#include <cstdlib>
#include <limits>
#include <locale.h>
#include <string>

namespace text {
namespace {

bool isSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// strtod in the "C" locale, for the rare forms from_chars does not take (hexadecimal) or
// where it leaves its output unchanged (out of range).
double strtodC(std::string_view token) {
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  std::string copy(token);
  return strtod_l(copy.c_str(), nullptr, cLocale);
}

}  // namespace

double parseDouble(std::string_view token) {
  std::size_t i = 0;
  while (i < token.size() && isSpace(token[i])) ++i;
  std::string_view rest = token.substr(i);
  bool negative = false;
  if (!rest.empty() && (rest[0] == '+' || rest[0] == '-')) {
    negative = rest[0] == '-';
    rest.remove_prefix(1);
  }
  if (rest.empty() || rest[0] == '+' || rest[0] == '-') return 0.0;
  if (rest.size() > 1 && rest[0] == '0' && (rest[1] == 'x' || rest[1] == 'X')) {
    return strtodC(token);
  }
  double value = 0.0;
  auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (ec == std::errc::result_out_of_range) return strtodC(token);
  if (ec != std::errc()) return 0.0;
  (void)end;
  return negative ? -value : value;
}

namespace {

template <class Char>
int32_t parseInt32Impl(std::basic_string_view<Char> token) {
  std::size_t i = 0;
  while (i < token.size() && (token[i] == ' ' || (token[i] >= '\t' && token[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < token.size() && (token[i] == '+' || token[i] == '-')) {
    negative = token[i] == '-';
    ++i;
  }
  constexpr int64_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
  int64_t value = 0;
  for (; i < token.size() && token[i] >= '0' && token[i] <= '9'; ++i) {
    value = value * 10 + (token[i] - '0');
    if (value > kMax + 1) value = kMax + 1;  // saturated; keep the loop from overflowing
  }
  if (negative) value = -value;
  if (value > kMax) return static_cast<int32_t>(kMax);
  if (value < kMin) return static_cast<int32_t>(kMin);
  return static_cast<int32_t>(value);
}

}  // namespace

int32_t parseInt32(std::string_view token) {
  // Fast path for the plain form that fills index lists: digits with an optional minus sign.
  if (!token.empty() && (token[0] == '-' || (token[0] >= '0' && token[0] <= '9'))) {
    int32_t value = 0;
    auto [end, ec] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (ec == std::errc()) return value;
  }
  return parseInt32Impl(token);
}
int32_t parseInt32(std::u16string_view token) { return parseInt32Impl(token); }

}  // namespace text
