// Shared by the six COLLADA import steps (images, materials, geometries, skins, nodes,
// animations) and the scene reading: the import context with its warning channel, element
// selection along child paths, and the conversion of element text to numbers and names.
// Internal to mv_model.
//
// Element selection walks child elements by name, which selects the same nodes as the
// equivalent child-step paths would and ignores the default namespace (names match as
// written). Attribute filters are written out as explicit comparisons, so ids from the file
// never become part of a query.
#pragma once

#include <pugixml.hpp>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "model/matrix4.h"
#include "platform/number_text.h"

struct ModelData;
struct ModelScene;
struct PolygonData;

namespace collada {

struct ImportContext {
  ModelData& model;
  pugi::xml_node document;  // the document node; "COLLADA" is its element child
  std::string fileName;     // for messages
  std::FILE* messages;      // warnings go here; null keeps the import quiet
  // Tokens that are no numbers already named in a warning of their own element.
  mutable int64_t reportedNotNumbers = 0;

  // One line "FILE: warning: ..." (printf-style).
  void warn(const char* format, ...) const __attribute__((format(printf, 2, 3)));
};

// The six steps, run in this order by the driver; each only appends to the model.
void importImages(const ImportContext& context);
void importMaterials(const ImportContext& context);
void importGeometries(const ImportContext& context);
void importSkins(const ImportContext& context);
void importNodes(const ImportContext& context);
void importAnimations(const ImportContext& context);

// The scene reading, run after the six steps: fills `model.scene` from the visual scene, and
// changes nothing else of the model. Its parts, in the order it runs them:
void readScene(const ImportContext& context);
// every triangle primitive of each geometry of the document (geometries first, in order);
void readSceneGeometries(const ImportContext& context, ModelScene& scene);
// axes, units and the placed instances of the visual scene;
void readSceneInstances(const ImportContext& context, ModelScene& scene);
// the images' paths, resolved from the document's folder;
void readSceneImages(const ImportContext& context, ModelScene& scene);
// the materials' other colours;
void readSceneMaterials(const ImportContext& context, ModelScene& scene);
// the animated nodes' tracks.
void readNodeAnimations(const ImportContext& context, ModelScene& scene);

// An image's "init_from" read as a URI: "file:" prefixes dropped, percent escapes decoded, "\"
// taken as "/", a relative path taken from `documentFolder`.
std::string resolveImageUri(std::string_view uri, const std::filesystem::path& documentFolder);

// One triangles ("triangles") or polylist ("polylist", polygons fanned) element as the geometry
// step reads it. `counts`, when given, receives what the element says of its size and what it
// holds, for warnings about the two disagreeing.
struct ListCounts {
  int64_t declared = -1;     // the "count" attribute, triangles or polygons; -1 without one
  int64_t polygons = 0;      // triangles read, or vcount's entries
  int64_t corners = 0;       // whole corners in "p"
  int64_t vcountCorners = -1;  // corners vcount's polygons take; -1 without a vcount
};
std::unique_ptr<PolygonData> readPolygonList(pugi::xml_node list, bool isPolylist, ListCounts* counts = nullptr);

// Calls `f(element)` for every element reached from `from` along `path` (child element names),
// in document order.
template <class F>
void forEachAlong(pugi::xml_node from, std::initializer_list<const char*> path, F&& f);

// The first element along `path` in document order, or an empty node.
pugi::xml_node firstAlong(pugi::xml_node from, std::initializer_list<const char*> path);

// The first child element of `parent` named `name` whose attribute `attribute` equals `value`.
pugi::xml_node childWhere(pugi::xml_node parent, const char* name, const char* attribute,
                          std::string_view value);

// Whether the element name `name` is `literal`, compared in place: names are mostly told apart
// by their first characters, so this stops long before a strcmp call would have started.
template <std::size_t N>
inline bool nameIs(const char* name, const char (&literal)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (name[i] != literal[i]) return false;
  }
  return true;
}

// The rest of `name` after `prefix`, or null when `name` does not start with it.
template <std::size_t N>
inline const char* afterPrefix(const char* name, const char (&prefix)[N]) {
  for (std::size_t i = 0; i + 1 < N; ++i) {
    if (name[i] != prefix[i]) return nullptr;
  }
  return name + N - 1;
}

// The text content of an element (its first text or CDATA child).
inline std::string_view textOf(pugi::xml_node element) { return element.text().get(); }

// An attribute as an int32 (0 when it is missing or no number).
int32_t intAttribute(pugi::xml_node element, const char* name);

// A "#"-reference or "source" attribute without its first character (empty stays empty).
std::string_view reference(std::string_view value);

// A name, id or path from the document, as the model stores it (UTF-16, bounded).
std::u16string nameOf(std::string_view utf8);

// Calls `f(token)` for each run of non-white-space characters of `chars` (XML white space:
// space, tab, line feed, carriage return), stopping early when `f` returns false. Number lists
// run to megabytes, so this is a plain loop rather than a lookup in a separator set.
template <class F>
void forEachListToken(std::string_view chars, F&& f) {
  const char* p = chars.data();
  const char* const end = p + chars.size();
  auto isSpace = [](char c) {
    return static_cast<unsigned char>(c) <= ' ' && (c == ' ' || c == '\n' || c == '\t' || c == '\r');
  };
  for (;;) {
    while (p != end && isSpace(*p)) ++p;
    if (p == end) return;
    const char* start = p;
    while (p != end && !isSpace(*p)) ++p;
    if (!f(std::string_view(start, static_cast<std::size_t>(p - start)))) return;
  }
}

// Whether `chars` holds a tab, which the one-pass number readers do not take as a separator.
// (Carriage returns never reach the steps: the parser turns line ends into line feeds.)
bool hasTab(std::string_view chars);

// Calls `f(value)` for each number of `chars` (XML white space between them), converted as
// text::parseInt32 converts, until `f` returns false. Most lists are separated by spaces and
// line feeds only and are converted in one pass where the numbers stand.
template <class F>
void forEachInt(std::string_view chars, F&& f) {
  if (!hasTab(chars)) {
    text::forEachInt32Token(chars, f);
  } else {
    forEachListToken(chars, [&](std::string_view token) { return f(text::parseInt32(token)); });
  }
}

// What the number readers met besides numbers, on this thread, for the import to warn about:
// numbers written with a decimal comma ("21,920870", as 3ds Max writes them under some
// locales), read as the exporter meant them, and tokens that are no number at all ("abc",
// "1.5x"), read as text::parseDouble reads them (as far as they are a number, else 0).
struct NumberNotes {
  int64_t decimalCommas = 0, notNumbers = 0;
  std::string firstComma, firstNotNumber;
};
NumberNotes& numberNotes();

// The value of a token that is not a plain decimal, as described above, noted in numberNotes().
double unusualNumber(std::string_view token);

// As forEachInt, with numbers converted as text::parseFloat converts, except that a number
// with a decimal comma is read as one with a point (see NumberNotes).
template <class F>
void forEachFloat(std::string_view chars, F&& f) {
  if (!hasTab(chars)) {
    text::detail::forEachNumberToken<double>(chars, unusualNumber,
                                             [&](double value) { return f(static_cast<float>(value)); });
  } else {
    forEachListToken(chars, [&](std::string_view token) { return f(static_cast<float>(unusualNumber(token))); });
  }
}

// Appends at most `limit` numbers of `chars` (separated by XML white space) to `out`.
void appendFloats(std::string_view chars, int64_t limit, std::vector<float>& out);
void appendInts(std::string_view chars, int64_t limit, std::vector<int32_t>& out);

// Overwrites the leading entries of `matrix` with the first (up to 16) numbers of `chars`.
void readMatrix(std::string_view chars, Matrix4& matrix);

// ---- implementation of the template ----

namespace detail {
template <class F>
void forEachAlong(pugi::xml_node from, const char* const* step, const char* const* end, F& f) {
  for (pugi::xml_node child = from.child(*step); child; child = child.next_sibling(*step)) {
    if (child.type() != pugi::node_element) continue;
    if (step + 1 == end) {
      f(child);
    } else {
      forEachAlong(child, step + 1, end, f);
    }
  }
}
}  // namespace detail

template <class F>
void forEachAlong(pugi::xml_node from, std::initializer_list<const char*> path, F&& f) {
  if (path.size() == 0) return;
  detail::forEachAlong(from, path.begin(), path.end(), f);
}

}  // namespace collada
