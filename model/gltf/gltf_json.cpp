#include "model/gltf/gltf_json.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "model/load_error.h"

namespace gltf {

namespace {

std::string formatted(const char* format, std::va_list args) {
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, format, args);
  std::string text(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

const char* typeName(simdjson::dom::element_type type) {
  switch (type) {
    case simdjson::dom::element_type::ARRAY:
      return "an array";
    case simdjson::dom::element_type::OBJECT:
      return "an object";
    case simdjson::dom::element_type::INT64:
    case simdjson::dom::element_type::UINT64:
    case simdjson::dom::element_type::DOUBLE:
      return "a number";
    case simdjson::dom::element_type::STRING:
      return "a string";
    case simdjson::dom::element_type::BOOL:
      return "true or false";
    case simdjson::dom::element_type::NULL_VALUE:
      return "null";
  }
  return "something else";
}

bool wrongType(Messages& m, Element value, const Where& where, const char* wanted) {
  return m.fail(&where, "%s, not %s", wanted, typeName(value.type()));
}

}  // namespace

std::string Where::text() const {
  std::vector<const Where*> chain;
  for (const Where* w = this; w != nullptr; w = w->parent) {
    if (!w->member.empty() || w->index >= 0) chain.push_back(w);
  }
  std::string out;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (!out.empty() && !(*it)->member.empty()) out += '.';
    out += (*it)->member;
    if ((*it)->index >= 0) {
      out += '[';
      out += std::to_string((*it)->index);
      out += ']';
    }
  }
  return out;
}

bool Messages::fail(const Where* where, const char* format, ...) {
  if (failed_) return false;
  failed_ = true;
  if (!print_) return false;
  std::va_list args;
  va_start(args, format);
  const std::string what = formatted(format, args);
  va_end(args);
  const std::string place = where != nullptr ? where->text() : std::string();
  if (place.empty())
    printLoadError("%s: %s", name_.c_str(), what.c_str());
  else
    printLoadError("%s: %s: %s", name_.c_str(), place.c_str(), what.c_str());
  return false;
}

void Messages::warn(const char* format, ...) {
  if (!print_) return;
  std::va_list args;
  va_start(args, format);
  std::string what = formatted(format, args);
  va_end(args);
  if (!warned_.insert(what).second) return;
  std::fprintf(stderr, "Warning: %s: %s\n", name_.c_str(), what.c_str());
}

bool toObject(Messages& m, Element value, const Where& where, Object& out) {
  if (value.get_object().get(out) == simdjson::SUCCESS) return true;
  return wrongType(m, value, where, "an object");
}

bool toArray(Messages& m, Element value, const Where& where, Array& out) {
  if (value.get_array().get(out) == simdjson::SUCCESS) return true;
  return wrongType(m, value, where, "an array");
}

bool toString(Messages& m, Element value, const Where& where, std::string_view& out) {
  if (value.get_string().get(out) == simdjson::SUCCESS) return true;
  return wrongType(m, value, where, "a string");
}

bool toBool(Messages& m, Element value, const Where& where, bool& out) {
  if (value.get_bool().get(out) == simdjson::SUCCESS) return true;
  return wrongType(m, value, where, "true or false");
}

bool toFloat(Messages& m, Element value, const Where& where, float& out) {
  double d = 0;
  if (value.get_double().get(d) != simdjson::SUCCESS) return wrongType(m, value, where, "a number");
  const float f = static_cast<float>(d);
  if (!std::isfinite(f)) return m.fail(&where, "%g is beyond the range of a float", d);
  out = f;
  return true;
}

bool toUint(Messages& m, Element value, const Where& where, uint64_t& out, uint64_t max) {
  uint64_t u = 0;
  int64_t i = 0;
  double d = 0;
  switch (value.type()) {
    case simdjson::dom::element_type::UINT64:
      u = value.get_uint64().value_unsafe();
      break;
    case simdjson::dom::element_type::INT64:
      i = value.get_int64().value_unsafe();
      if (i < 0) return m.fail(&where, "%lld is negative", static_cast<long long>(i));
      u = static_cast<uint64_t>(i);
      break;
    case simdjson::dom::element_type::DOUBLE:
      d = value.get_double().value_unsafe();
      // 1.0 for 1: some writers print every number with a point.
      if (!(d >= 0 && d < 18446744073709551616.0) || d != std::floor(d)) {
        return m.fail(&where, "%g is not a whole number of 0 or more", d);
      }
      u = static_cast<uint64_t>(d);
      break;
    default:
      return wrongType(m, value, where, "a whole number");
  }
  if (u > max) {
    return m.fail(&where, "%llu is beyond the largest allowed, %llu", static_cast<unsigned long long>(u),
                  static_cast<unsigned long long>(max));
  }
  out = u;
  return true;
}

bool toIndex(Messages& m, Element value, const Where& where, int32_t& out) {
  uint64_t u = 0;
  if (!toUint(m, value, where, u, INT32_MAX)) return false;
  out = static_cast<int32_t>(u);
  return true;
}

bool toFloats(Messages& m, Element value, const Where& where, float* out, std::size_t n) {
  Array array;
  if (!toArray(m, value, where, array)) return false;
  std::size_t i = 0;
  for (Element e : array) {
    if (i == n) break;
    const Where at = where.at("", static_cast<int64_t>(i));
    if (!toFloat(m, e, at, out[i])) return false;
    ++i;
  }
  if (i != n || array.size() != n) return m.fail(&where, "%zu numbers, not %zu", array.size(), n);
  return true;
}

bool optObject(Messages& m, Object object, std::string_view key, const Where& where, Object& out, bool& present) {
  Element value;
  present = member(object, key, value);
  return !present || toObject(m, value, where[key], out);
}

bool optArray(Messages& m, Object object, std::string_view key, const Where& where, Array& out, bool& present) {
  Element value;
  present = member(object, key, value);
  return !present || toArray(m, value, where[key], out);
}

bool optString(Messages& m, Object object, std::string_view key, const Where& where, std::string& out) {
  Element value;
  if (!member(object, key, value)) return true;
  std::string_view text;
  if (!toString(m, value, where[key], text)) return false;
  out.assign(text);
  return true;
}

bool optBool(Messages& m, Object object, std::string_view key, const Where& where, bool& out) {
  Element value;
  return !member(object, key, value) || toBool(m, value, where[key], out);
}

bool optFloat(Messages& m, Object object, std::string_view key, const Where& where, float& out) {
  Element value;
  return !member(object, key, value) || toFloat(m, value, where[key], out);
}

bool optUint(Messages& m, Object object, std::string_view key, const Where& where, uint64_t& out, uint64_t max) {
  Element value;
  return !member(object, key, value) || toUint(m, value, where[key], out, max);
}

bool optIndex(Messages& m, Object object, std::string_view key, const Where& where, int32_t& out) {
  Element value;
  return !member(object, key, value) || toIndex(m, value, where[key], out);
}

bool optFloats(Messages& m, Object object, std::string_view key, const Where& where, float* out, std::size_t n) {
  Element value;
  return !member(object, key, value) || toFloats(m, value, where[key], out, n);
}

bool checkIndex(Messages& m, const Where& where, int64_t index, std::size_t count, const char* what) {
  if (index >= 0 && static_cast<uint64_t>(index) < count) return true;
  return m.fail(&where, "%lld is beyond the %zu %s", static_cast<long long>(index), count, what);
}

}  // namespace gltf
