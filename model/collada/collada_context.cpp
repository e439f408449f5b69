#include "model/collada/collada_context.h"

#include <algorithm>
#include <charconv>
#include <cstdarg>
#include <cstring>

#include "platform/number_text.h"
#include "platform/text.h"

namespace collada {
namespace {

pugi::xml_node firstAlong(pugi::xml_node from, const char* const* step, const char* const* end) {
  for (pugi::xml_node child = from.child(*step); child; child = child.next_sibling(*step)) {
    if (child.type() != pugi::node_element) continue;
    if (step + 1 == end) return child;
    if (pugi::xml_node found = firstAlong(child, step + 1, end)) return found;
  }
  return {};
}

// Room for the numbers of `chars`, but never more than it can hold: counts in the document
// may be anything.
std::size_t reserveFor(std::string_view chars, int64_t limit) {
  int64_t most = static_cast<int64_t>(chars.size() / 2 + 1);
  return static_cast<std::size_t>(std::max<int64_t>(0, std::min(limit, most)));
}

}  // namespace

void ImportContext::warn(const char* format, ...) const {
  if (messages == nullptr) return;
  std::va_list args;
  va_start(args, format);
  std::fprintf(messages, "%s: warning: ", fileName.c_str());
  std::vfprintf(messages, format, args);
  std::fputc('\n', messages);
  va_end(args);
}

pugi::xml_node firstAlong(pugi::xml_node from, std::initializer_list<const char*> path) {
  if (path.size() == 0) return {};
  return firstAlong(from, path.begin(), path.end());
}

pugi::xml_node childWhere(pugi::xml_node parent, const char* name, const char* attribute,
                          std::string_view value) {
  for (pugi::xml_node child = parent.child(name); child; child = child.next_sibling(name)) {
    if (child.type() != pugi::node_element) continue;
    pugi::xml_attribute a = child.attribute(attribute);
    if (a && value == a.value()) return child;
  }
  return {};
}

int32_t intAttribute(pugi::xml_node element, const char* name) {
  return text::parseInt32(std::string_view(element.attribute(name).value()));
}

std::string_view reference(std::string_view value) {
  if (!value.empty()) value.remove_prefix(1);
  return value;
}

std::u16string nameOf(std::string_view utf8) { return text::boundedName(text::fromUtf8(utf8)); }

NumberNotes& numberNotes() {
  thread_local NumberNotes notes;
  return notes;
}

double unusualNumber(std::string_view token) {
  const char* begin = token.data();
  const char* end = begin + token.size();
  if (begin != end && *begin == '+') ++begin;
  double value = 0;
  auto [next, ec] = std::from_chars(begin, end, value);
  if (next == end && (ec == std::errc() || ec == std::errc::result_out_of_range)) return text::parseDouble(token);
  // Digits, one comma, digits: a decimal comma.
  const char* p = begin + (begin != end && *begin == '-' ? 1 : 0);
  const char* digits = p;
  while (p != end && *p >= '0' && *p <= '9') ++p;
  if (p != digits && p != end && *p == ',' && p + 1 != end) {
    const char* fraction = ++p;
    while (p != end && *p >= '0' && *p <= '9') ++p;
    if (p == end && p != fraction) {
      NumberNotes& notes = numberNotes();
      if (notes.decimalCommas++ == 0) notes.firstComma = std::string(token);
      std::string pointed(token);
      pointed[static_cast<std::size_t>(fraction - 1 - token.data())] = '.';
      return text::parseDouble(pointed);
    }
  }
  // Hexadecimal numbers are numbers too, as the general conversion reads them.
  if (token.find_first_of("xX") == std::string_view::npos) {
    NumberNotes& notes = numberNotes();
    if (notes.notNumbers++ == 0) notes.firstNotNumber = std::string(token.substr(0, 40));
  }
  return text::parseDouble(token);
}

bool hasTab(std::string_view chars) {
  return std::memchr(chars.data(), '\t', chars.size()) != nullptr;
}

void appendFloats(std::string_view chars, int64_t limit, std::vector<float>& out) {
  if (limit <= 0) return;
  out.reserve(out.size() + reserveFor(chars, limit));
  int64_t left = limit;
  forEachFloat(chars, [&](float value) {
    out.push_back(value);
    return --left > 0;
  });
}

void appendInts(std::string_view chars, int64_t limit, std::vector<int32_t>& out) {
  if (limit <= 0) return;
  out.reserve(out.size() + reserveFor(chars, limit));
  int64_t left = limit;
  forEachInt(chars, [&](int32_t value) {
    out.push_back(value);
    return --left > 0;
  });
}

void readMatrix(std::string_view chars, Matrix4& matrix) {
  std::size_t i = 0;
  forEachFloat(chars, [&](float value) {
    matrix[i++] = value;
    return i < matrix.size();
  });
}

}  // namespace collada
