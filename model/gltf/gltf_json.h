// The JSON side of the glTF reader: where a value sits in the document (spelled only for a
// message), the load's one error line and its warnings, and typed getters over simdjson's DOM
// that fail with that line when a value has the wrong type or range. Nothing here knows what
// the members mean.
#pragma once

#include <simdjson.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

namespace gltf {

using Element = simdjson::dom::element;
using Object = simdjson::dom::object;
using Array = simdjson::dom::array;

// A place in the document, such as meshes[2].primitives[0].attributes.POSITION: a chain of
// these lives on the stack while the document is walked, so a message can name the place
// without any text being built on the way.
struct Where {
  const Where* parent = nullptr;
  std::string_view member;  // a member's name, or the name of the array an element is in
  int64_t index = -1;       // >= 0: element `index` of the array `member`

  // A place under this one. The result points at this Where, so it must not outlive it; the
  // empty Where (the document itself) is no parent, so Where().at(...) may be kept.
  Where operator[](std::string_view name) const { return {holder(), name, -1}; }
  Where at(std::string_view array, int64_t i) const { return {holder(), array, i}; }
  std::string text() const;

 private:
  const Where* holder() const { return member.empty() && index < 0 && parent == nullptr ? nullptr : this; }
};

// The error line of one load and its warnings, on stderr unless silenced.
class Messages {
 public:
  Messages(std::string name, bool print) : name_(std::move(name)), print_(print) {}

  // The load's one error line, "NAME: WHERE: WHAT" (printLoadError). A later failure, a
  // caller passing a false on, prints nothing more. Returns false.
  bool fail(const Where* where, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // "Warning: NAME: WHAT", each distinct text once.
  void warn(const char* format, ...) __attribute__((format(printf, 2, 3)));
  bool failed() const { return failed_; }
  const std::string& name() const { return name_; }

 private:
  std::string name_;
  bool print_;
  bool failed_ = false;
  std::unordered_set<std::string> warned_;
};

// The member `key` of `object`; false when it is absent.
inline bool member(Object object, std::string_view key, Element& out) {
  return object.at_key(key).get(out) == simdjson::SUCCESS;
}

// Typed reading of one value at `where`; each fails with the load's error line.
bool toObject(Messages& m, Element value, const Where& where, Object& out);
bool toArray(Messages& m, Element value, const Where& where, Array& out);
bool toString(Messages& m, Element value, const Where& where, std::string_view& out);
bool toBool(Messages& m, Element value, const Where& where, bool& out);
// A finite number.
bool toFloat(Messages& m, Element value, const Where& where, float& out);
// A whole number in [0, max] (written as an integer or as a number with no fraction).
bool toUint(Messages& m, Element value, const Where& where, uint64_t& out, uint64_t max = UINT64_MAX);
// An index: a whole number in [0, 2^31 - 1].
bool toIndex(Messages& m, Element value, const Where& where, int32_t& out);
// An array of exactly `n` finite numbers.
bool toFloats(Messages& m, Element value, const Where& where, float* out, std::size_t n);

// The same for the member `key` of `object`: an absent member leaves `out` as it was and is
// no failure; `where` is the object's place.
bool optObject(Messages& m, Object object, std::string_view key, const Where& where, Object& out, bool& present);
bool optArray(Messages& m, Object object, std::string_view key, const Where& where, Array& out, bool& present);
bool optString(Messages& m, Object object, std::string_view key, const Where& where, std::string& out);
bool optBool(Messages& m, Object object, std::string_view key, const Where& where, bool& out);
bool optFloat(Messages& m, Object object, std::string_view key, const Where& where, float& out);
bool optUint(Messages& m, Object object, std::string_view key, const Where& where, uint64_t& out,
             uint64_t max = UINT64_MAX);
bool optIndex(Messages& m, Object object, std::string_view key, const Where& where, int32_t& out);
bool optFloats(Messages& m, Object object, std::string_view key, const Where& where, float* out, std::size_t n);

// Whether `index` (>= 0) names one of `count` things; fails with "7 is beyond the 3 WHAT"
// otherwise.
bool checkIndex(Messages& m, const Where& where, int64_t index, std::size_t count, const char* what);

}  // namespace gltf
