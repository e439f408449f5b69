// Decimal numbers from file text, the same whatever the user's locale: a prefix of the token
// is converted (leading white space skipped, conversion stops at the first character that
// cannot continue the number), text that is no number gives 0, and out-of-range values follow
// the text-to-double rules (overflow gives infinity, underflow zero).
#pragma once

#include <cstdint>
#include <string_view>

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

}  // namespace text
