// Geometries: sources become float arrays, triangle lists become polygon lists with one index
// per corner and per semantic.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "model/collada/collada_context.h"
#include "model/model_data.h"
#include "model/model_scene.h"
#include "platform/number_text.h"

namespace collada {
namespace {

// One input offset per semantic that the model keeps; -1 when the list has no such input.
struct InputOffsets {
  int32_t vertex = -1;
  int32_t normal = -1;
  int32_t texture = -1;
  int32_t color = -1;
};

// Appends the indices of corner `corner` (whose values start at P[corner * stride]).
inline void appendCorner(const std::vector<int32_t>& p, int64_t stride, int64_t corner,
                         const InputOffsets& offsets, PolygonData& list) {
  const int32_t* values = p.data() + corner * stride;
  if (offsets.vertex >= 0) list.vertexIndices.push_back(values[offsets.vertex]);
  if (offsets.normal >= 0) list.normalIndices.push_back(values[offsets.normal]);
  if (offsets.texture >= 0) list.texIndices.push_back(values[offsets.texture]);
  if (offsets.color >= 0) list.colorIndices.push_back(values[offsets.color]);
}

void reserveCorners(const InputOffsets& offsets, std::size_t corners, PolygonData& list) {
  if (offsets.vertex >= 0) list.vertexIndices.reserve(corners);
  if (offsets.normal >= 0) list.normalIndices.reserve(corners);
  if (offsets.texture >= 0) list.texIndices.reserve(corners);
  if (offsets.color >= 0) list.colorIndices.reserve(corners);
}

// Corner after corner, straight from the "p" text: number i belongs to corner i / stride, at
// offset i % stride. Only whole corners are kept, so a cut-off last corner adds nothing.
// `expectedCorners` (from the list's triangle count; 0 when unknown) bounds what is reserved.
void deinterleave(std::string_view pText, int64_t stride, int64_t expectedCorners,
                  const InputOffsets& offsets, PolygonData& list) {
  struct Target {
    int64_t offset;
    std::vector<int32_t>* indices;
  };
  Target targets[4];
  int targetCount = 0;
  auto add = [&](int32_t offset, std::vector<int32_t>& indices) {
    if (offset >= 0) targets[targetCount++] = {offset, &indices};
  };
  add(offsets.vertex, list.vertexIndices);
  add(offsets.normal, list.normalIndices);
  add(offsets.texture, list.texIndices);
  add(offsets.color, list.colorIndices);
  if (targetCount == 0) return;

  // Each number takes at least two characters with its separator. The text's bound alone
  // reserves several times what a list of longer numbers needs, and a large mesh's lists
  // would then hold most of the memory the import touches.
  std::size_t most = pText.size() / 2 / static_cast<std::size_t>(stride) + 1;
  if (expectedCorners > 0) most = std::min(most, static_cast<std::size_t>(expectedCorners));
  for (int t = 0; t < targetCount; ++t) targets[t].indices->reserve(most);
  int64_t position = 0;  // offset within the current corner
  int64_t numbers = 0;
  // The usual layout, a short corner whose offsets each feed at most one list, takes each
  // number's list from a table instead of testing every list for every number.
  constexpr int64_t kTableStride = 16;
  std::vector<int32_t>* byPosition[kTableStride] = {};
  bool tabled = stride <= kTableStride;
  for (int t = 0; t < targetCount && tabled; ++t) {
    std::vector<int32_t>*& slot = byPosition[targets[t].offset];
    tabled = slot == nullptr;
    slot = targets[t].indices;
  }
  if (tabled) {
    forEachInt(pText, [&](int32_t value) {
      if (std::vector<int32_t>* indices = byPosition[position]) indices->push_back(value);
      ++numbers;
      if (++position == stride) position = 0;
      return true;
    });
  } else {
    forEachInt(pText, [&](int32_t value) {
      for (int t = 0; t < targetCount; ++t) {
        if (targets[t].offset == position) targets[t].indices->push_back(value);
      }
      ++numbers;
      if (++position == stride) position = 0;
      return true;
    });
  }
  const auto corners = static_cast<std::size_t>(numbers / stride);
  for (int t = 0; t < targetCount; ++t) {
    if (targets[t].indices->size() > corners) targets[t].indices->resize(corners);
  }
}

// Polygon corner counts of a polylist, or empty when every polygon is a triangle (or the list
// gives none): such lists are read corner after corner.
std::vector<int32_t> polygonSizes(pugi::xml_node list) {
  std::vector<int32_t> sizes;
  pugi::xml_node vcount = list.child("vcount");
  if (!vcount) return sizes;
  appendInts(textOf(vcount), INT64_MAX, sizes);
  if (std::all_of(sizes.begin(), sizes.end(), [](int32_t n) { return n == 3; })) sizes.clear();
  return sizes;
}

// Reads the material symbol and the inputs of a primitive element into `polygons`; returns the
// number of indices per corner.
int64_t readInputs(pugi::xml_node list, PolygonData& polygons, InputOffsets& offsets) {
  int64_t maxOffset = 0;
  if (pugi::xml_attribute material = list.attribute("material")) {
    polygons.materialId = nameOf(material.value());
  }
  for (pugi::xml_node input = list.child("input"); input; input = input.next_sibling("input")) {
    std::string_view semantic = input.attribute("semantic").value();
    std::string_view source = reference(input.attribute("source").value());
    int32_t offset = intAttribute(input, "offset");
    if (semantic == "VERTEX") {
      polygons.vertexId = nameOf(source);
      offsets.vertex = offset;
    } else if (semantic == "NORMAL") {
      polygons.normalId = nameOf(source);
      offsets.normal = offset;
    } else if (semantic == "TEXCOORD") {
      polygons.texIds.push_back(nameOf(source));
      offsets.texture = offset;
    } else if (semantic == "COLOR") {
      polygons.colorId = nameOf(source);
      offsets.color = offset;
    }
    maxOffset = std::max<int64_t>(maxOffset, offset);
  }
  return maxOffset + 1;
}

}  // namespace

std::unique_ptr<PolygonData> readPolygonList(pugi::xml_node list, bool isPolylist, ListCounts* counts) {
  auto polygons = std::make_unique<PolygonData>();
  InputOffsets offsets;
  const int64_t stride = readInputs(list, *polygons, offsets);
  std::string_view pText = textOf(list.child("p"));
  std::vector<int32_t> sizes = isPolylist ? polygonSizes(list) : std::vector<int32_t>();
  if (counts != nullptr) counts->declared = list.attribute("count") ? intAttribute(list, "count") : -1;
  if (sizes.empty()) {
    // Every polygon is read as a triangle: three corners each.
    const int64_t expected = std::max<int64_t>(0, intAttribute(list, "count")) * 3;
    deinterleave(pText, stride, expected, offsets, *polygons);
    if (counts != nullptr) {
      const std::vector<int32_t>* any = offsets.vertex >= 0   ? &polygons->vertexIndices
                                        : offsets.normal >= 0 ? &polygons->normalIndices
                                                              : nullptr;
      counts->corners = any != nullptr ? static_cast<int64_t>(any->size()) : 0;
      counts->polygons = counts->corners / 3;
    }
    return polygons;
  }

  std::vector<int32_t> p;
  appendInts(pText, INT64_MAX, p);
  // Only complete corners: a cut-off last corner would index past the list.
  const int64_t corners = static_cast<int64_t>(p.size()) / stride;

  // Polygons of any size become fans (corners 0, i, i + 1); polygons of fewer than three
  // corners make no triangle. A polygon cut off by the end of the list is dropped.
  int64_t triangles = 0, needed = 0;
  for (int32_t n : sizes) {
    triangles += std::max<int64_t>(0, static_cast<int64_t>(n) - 2);
    needed += std::max<int32_t>(n, 0);
  }
  if (counts != nullptr) {
    counts->polygons = static_cast<int64_t>(sizes.size());
    counts->corners = corners;
    counts->vcountCorners = needed;
  }
  reserveCorners(offsets, static_cast<std::size_t>(std::min(triangles * 3, corners * 3)), *polygons);
  int64_t first = 0;
  for (int32_t n : sizes) {
    int64_t size = std::max<int32_t>(n, 0);
    if (first + size > corners) break;
    for (int64_t i = 1; i + 1 < size; ++i) {
      appendCorner(p, stride, first, offsets, *polygons);
      appendCorner(p, stride, first + i, offsets, *polygons);
      appendCorner(p, stride, first + i + 1, offsets, *polygons);
    }
    first += size;
  }
  return polygons;
}

namespace {

// One warning per float array whose numbers the document gets wrong: fewer than its count
// says, tokens that are no numbers, numbers that are no finite float. The values stay as read.
void warnAboutNumbers(const ImportContext& context, const char* geometryId, const char* sourceId, int64_t count,
                      const std::vector<float>& values, int64_t notNumbers) {
  std::string problems;
  auto add = [&](const std::string& problem) { problems += (problems.empty() ? "" : "; ") + problem; };
  if (static_cast<int64_t>(values.size()) < count) {
    add("its count says " + std::to_string(count) + " numbers, its text holds " + std::to_string(values.size()));
  }
  if (notNumbers > 0) {
    add(std::to_string(notNumbers) + " tokens are no numbers (read as 0)");
    context.reportedNotNumbers += notNumbers;
  }
  const auto nonFinite = std::count_if(values.begin(), values.end(), [](float v) { return !std::isfinite(v); });
  if (nonFinite > 0) add(std::to_string(nonFinite) + " numbers are not finite or beyond the float range");
  if (!problems.empty()) {
    context.warn("geometry \"%s\": float_array of source \"%s\": %s", geometryId, sourceId, problems.c_str());
  }
}

// One warning per list whose sizes disagree: its count, its vcount and its p.
void warnAboutCounts(const ImportContext& context, const char* geometryId, const char* kind, const ListCounts& counts) {
  std::string problems;
  auto add = [&](const std::string& problem) { problems += (problems.empty() ? "" : "; ") + problem; };
  const char* unit = std::string_view(kind) == "polylist" ? "polygons" : "triangles";
  if (counts.declared >= 0 && counts.declared != counts.polygons) {
    add("its count says " + std::to_string(counts.declared) + " " + unit + ", it holds " +
        std::to_string(counts.polygons));
  }
  if (counts.vcountCorners >= 0 && counts.vcountCorners < counts.corners) {
    add("its vcount accounts for " + std::to_string(counts.vcountCorners) + " of the " + std::to_string(counts.corners) +
        " corners of its p; the rest are left out");
  } else if (counts.vcountCorners > counts.corners) {
    add("its vcount needs " + std::to_string(counts.vcountCorners) + " corners, its p holds " +
        std::to_string(counts.corners) + "; the polygons past the end are left out");
  }
  if (!problems.empty()) context.warn("geometry \"%s\": %s: %s", geometryId, kind, problems.c_str());
}

// Reads one "source" of a mesh into a float array; returns null (with a warning where the
// document is at fault) when the source cannot be used.
std::unique_ptr<FloatArray> readSource(const ImportContext& context, const char* geometryId,
                                       pugi::xml_node source, std::string_view positionSourceId,
                                       std::string_view verticesId, Geometry& geometry) {
  pugi::xml_attribute id = source.attribute("id");
  if (!id) {
    context.warn("geometry \"%s\": source without \"id\" skipped", geometryId);
    return nullptr;
  }
  pugi::xml_node floatArray = source.child("float_array");
  if (!floatArray) {
    context.warn("geometry \"%s\": source \"%s\" without \"float_array\" skipped", geometryId,
                 id.value());
    return nullptr;
  }
  int32_t count = intAttribute(floatArray, "count");
  if (count < 1) return nullptr;
  pugi::xml_node accessor = firstAlong(source, {"technique_common", "accessor"});
  int32_t stride = intAttribute(accessor, "stride");
  if (stride < 1) {
    context.warn("geometry \"%s\": source \"%s\" without a positive accessor \"stride\" skipped",
                 geometryId, id.value());
    return nullptr;
  }

  auto array = std::make_unique<FloatArray>();
  const bool isPosition = positionSourceId == id.value();
  // VERTEX inputs name the vertices element, so the positions go by its id.
  array->id = nameOf(isPosition ? verticesId : std::string_view(id.value()));
  if (isPosition) geometry.vertexCount = count / stride;
  array->tupleSize = stride;
  if (stride == 2 || stride == 3) {
    array->hasValues = true;
    const int64_t notNumbers = numberNotes().notNumbers;
    appendFloats(textOf(floatArray), count, array->values);
    warnAboutNumbers(context, geometryId, id.value(), count, array->values, numberNotes().notNumbers - notNumbers);
    // A last tuple cut short by the count is completed with zeros.
    std::size_t tuples = (array->values.size() + stride - 1) / stride;
    array->values.resize(tuples * stride, 0.0f);
  }
  return array;
}

void importGeometry(const ImportContext& context, pugi::xml_node element) {
  pugi::xml_attribute id = element.attribute("id");
  if (!id) {
    context.warn("geometry without \"id\" skipped");
    return;
  }
  pugi::xml_node mesh = element.child("mesh");
  if (!mesh) {
    context.warn("geometry \"%s\" without \"mesh\" skipped", id.value());
    return;
  }
  pugi::xml_node vertices = mesh.child("vertices");
  pugi::xml_attribute verticesId = vertices.attribute("id");
  if (!vertices || !verticesId) {
    context.warn("geometry \"%s\" without \"vertices\" and its \"id\" skipped", id.value());
    return;
  }
  std::string_view positionSourceId = reference(vertices.child("input").attribute("source").value());

  auto geometry = std::make_unique<Geometry>();
  geometry->id = nameOf(id.value());

  // Polylists win when a mesh has both kinds.
  const bool isPolylist = static_cast<bool>(mesh.child("polylist"));
  const char* kind = isPolylist ? "polylist" : "triangles";
  std::vector<pugi::xml_node> lists;
  for (pugi::xml_node list = mesh.child(kind); list; list = list.next_sibling(kind)) {
    lists.push_back(list);
  }
  for (pugi::xml_node source = mesh.child("source"); source; source = source.next_sibling("source")) {
    auto array = readSource(context, id.value(), source, positionSourceId, verticesId.value(),
                            *geometry);
    if (array) geometry->floatArrays.push_back(std::move(array));
  }
  for (pugi::xml_node list : lists) {
    ListCounts counts;
    geometry->polygonLists.push_back(readPolygonList(list, isPolylist, &counts));
    warnAboutCounts(context, id.value(), kind, counts);
  }
  context.model.geometries.push_back(std::move(geometry));
}

// Corners `first`..`first + count - 1` of the flat index list `p` as triangles: a fan around
// the first corner, or a strip (every second triangle turned to keep the winding).
void appendTriangles(const std::vector<int32_t>& p, int64_t stride, int64_t first, int64_t count,
                     bool strip, const InputOffsets& offsets, PolygonData& list) {
  for (int64_t i = 0; i + 2 < count; ++i) {
    int64_t a = first, b = first + i + 1, c = first + i + 2;
    if (strip) {
      a = first + i;
      b = first + i + ((i & 1) == 0 ? 1 : 2);
      c = first + i + ((i & 1) == 0 ? 2 : 1);
    }
    appendCorner(p, stride, a, offsets, list);
    appendCorner(p, stride, b, offsets, list);
    appendCorner(p, stride, c, offsets, list);
  }
}

// A "polygons", "trifans" or "tristrips" element: each "p" one polygon, fan or strip. Sets
// `holes` when a polygon with holes ("ph") was met; only its outer ring is kept.
std::unique_ptr<PolygonData> readFannedList(pugi::xml_node list, bool strip, bool& holes) {
  auto polygons = std::make_unique<PolygonData>();
  InputOffsets offsets;
  const int64_t stride = readInputs(list, *polygons, offsets);
  std::vector<int32_t> p;
  auto addRing = [&](pugi::xml_node ring) {
    p.clear();
    appendInts(textOf(ring), INT64_MAX, p);
    appendTriangles(p, stride, 0, static_cast<int64_t>(p.size()) / stride, strip, offsets,
                    *polygons);
  };
  for (pugi::xml_node child = list.first_child(); child; child = child.next_sibling()) {
    if (child.type() != pugi::node_element) continue;
    std::string_view name = child.name();
    if (name == "p") {
      addRing(child);
    } else if (name == "ph") {
      holes = holes || static_cast<bool>(child.child("h"));
      addRing(child.child("p"));
    }
  }
  return polygons;
}

// Whether importGeometry makes a Geometry of `element` (the conditions it checks, in short).
bool makesGeometry(pugi::xml_node element) {
  pugi::xml_node vertices = element.child("mesh").child("vertices");
  return element.attribute("id") && vertices && vertices.attribute("id");
}

// What the vertices element gives beside the positions, and the four-component sources the
// record keeps without values: vertex colours are mostly written so.
void readVertexInputs(pugi::xml_node mesh, const Geometry& geometry, SceneGeometry& scene) {
  for (pugi::xml_node input = mesh.child("vertices").child("input"); input; input = input.next_sibling("input")) {
    std::string_view semantic = input.attribute("semantic").value();
    std::u16string source = nameOf(reference(input.attribute("source").value()));
    if (semantic == "NORMAL") scene.vertexNormalId = source;
    else if (semantic == "COLOR") scene.vertexColorId = source;
    else if (semantic == "TEXCOORD" && scene.vertexTexId.empty()) scene.vertexTexId = source;
  }
  for (pugi::xml_node source = mesh.child("source"); source; source = source.next_sibling("source")) {
    pugi::xml_node floats = source.child("float_array");
    const int32_t stride = intAttribute(firstAlong(source, {"technique_common", "accessor"}), "stride");
    const int32_t count = intAttribute(floats, "count");
    if (stride != 4 || count < 1) continue;
    const FloatArray* kept = geometry.findFloatArray(nameOf(source.attribute("id").value()));
    if (kept != nullptr && kept->hasValues) continue;
    auto array = std::make_unique<FloatArray>();
    array->id = nameOf(source.attribute("id").value());
    array->tupleSize = 4;
    array->hasValues = true;
    appendFloats(textOf(floats), count, array->values);
    array->values.resize((array->values.size() + 3) / 4 * 4, 1.0f);
    scene.ownArrays.push_back(std::move(array));
  }
}

}  // namespace

void readSceneGeometries(const ImportContext& context, ModelScene& scene) {
  ModelData& model = context.model;
  std::vector<pugi::xml_node> elements;
  forEachAlong(context.document, {"COLLADA", "library_geometries", "geometry"},
               [&](pugi::xml_node element) {
                 if (makesGeometry(element)) elements.push_back(element);
               });
  scene.geometries.resize(model.geometries.size());
  // The geometries of this document are the last ones of the model.
  if (elements.size() > model.geometries.size()) return;
  const std::size_t base = model.geometries.size() - elements.size();
  for (std::size_t k = 0; k < base; ++k) {
    for (const auto& list : model.geometries[k]->polygonLists) {
      scene.geometries[k].primitives.push_back({list.get()});
    }
  }
  for (std::size_t e = 0; e < elements.size(); ++e) {
    const Geometry& geometry = *model.geometries[base + e];
    SceneGeometry& sceneGeometry = scene.geometries[base + e];
    pugi::xml_node mesh = elements[e].child("mesh");
    // The exact import keeps the polylists, or the triangle lists when there is none.
    const bool polylists = static_cast<bool>(mesh.child("polylist"));
    std::size_t kept = 0;
    bool holes = false;
    std::string skipped;
    auto own = [&](std::unique_ptr<PolygonData> list) {
      sceneGeometry.primitives.push_back({list.get()});
      sceneGeometry.ownLists.push_back(std::move(list));
    };
    for (pugi::xml_node child = mesh.first_child(); child; child = child.next_sibling()) {
      if (child.type() != pugi::node_element) continue;
      std::string_view name = child.name();
      if (name == "polylist" || (name == "triangles" && !polylists)) {
        if (kept < geometry.polygonLists.size()) {
          sceneGeometry.primitives.push_back({geometry.polygonLists[kept++].get()});
        }
      } else if (name == "triangles") {
        own(readPolygonList(child, false));
      } else if (name == "polygons" || name == "trifans" || name == "tristrips") {
        own(readFannedList(child, name == "tristrips", holes));
      } else if (name == "lines" || name == "linestrips" || name == "points") {
        if (skipped.find(name) == std::string::npos) {
          skipped += skipped.empty() ? "" : ", ";
          skipped += name;
        }
      }
    }
    readVertexInputs(mesh, geometry, sceneGeometry);
    const char* id = elements[e].attribute("id").value();
    if (holes) context.warn("geometry \"%s\": polygon holes (\"h\") skipped, outer rings kept", id);
    if (!skipped.empty()) {
      context.warn("geometry \"%s\": %s skipped (only surfaces are drawn)", id, skipped.c_str());
    }
  }
}

void importGeometries(const ImportContext& context) {
  forEachAlong(context.document, {"COLLADA", "library_geometries", "geometry"},
               [&](pugi::xml_node element) { importGeometry(context, element); });
}

}  // namespace collada
