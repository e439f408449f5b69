// Reading of collider files (.cdr): the model id and one collider per GEOMETRY block, with the
// float arrays, corner index lists and bone weights that the collider builder turns into
// shapes. Building, transforming and querying the colliders live elsewhere.
#include "scene/collider_file.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "model/block_reader.h"
#include "platform/line_reader.h"

namespace {

using blocks::BlockReader;

constexpr std::size_t kBindShapeLineBytes = 2048;

// Collider files accept only positive counts and keep tuples of 2, 3 or 4 floats alone.
constexpr blocks::FloatArrayRules kColliderFloatArrays{.acceptZeroCounts = false,
                                                       .keepOtherTupleSizes = false};

int32_t colliderTypeOf(std::u16string_view value) {
  if (value == u"COLLIDER_TYPE_SPHERE") return kColliderSphere;
  if (value == u"COLLIDER_TYPE_BOX") return kColliderBox;
  if (value == u"COLLIDER_TYPE_CAPSULE") return kColliderCapsule;
  if (value == u"COLLIDER_TYPE_RECT") return kColliderRect;
  if (value == u"COLLIDER_TYPE_MESH") return kColliderMesh;
  return kColliderNone;
}

// cornerCount is the sum of the counts the file gives; kept within int32 however many there are.
int32_t addCorners(int32_t total, int32_t count) {
  const int64_t sum = static_cast<int64_t>(total) + count;
  return static_cast<int32_t>(std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

bool readPolygon(BlockReader& reader, Collider& collider, ColliderPolygon& polygon) {
  while (reader.nextKeywordLine(blocks::kInnerSeparators)) {
    if (reader.is(u"VERTEX_ID")) {
      polygon.vertexId = reader.value();
    } else if (reader.is(u"NORMAL_ID")) {
      polygon.normalId = reader.value();
    } else if (reader.is(u"VERTEX_INDEX_COUNT")) {
      const int32_t count = reader.intValue();
      collider.cornerCount = addCorners(collider.cornerCount, count);
      blocks::readCountedIndices(reader, count, polygon.vertexIndices);
    } else if (reader.is(u"NORMAL_INDEX_COUNT")) {
      blocks::readCountedIndices(reader, reader.intValue(), polygon.normalIndices);
    } else if (reader.is(u"POLYGON_DATA_END")) {
      return true;
    }
  }
  return false;
}

bool readCollider(BlockReader& reader, Collider& collider) {
  while (reader.nextKeywordLine(blocks::kOuterSeparators)) {
    if (reader.is(u"GEOMETRY_ID")) {
      collider.id = reader.value();
    } else if (reader.is(u"VERTEX_COUNT")) {
      collider.vertexCount = reader.intValue();
    } else if (reader.is(u"BIND_SHAPE_MATRIX")) {
      reader.readFloats(kBindShapeLineBytes, collider.bindShapeMatrix.data(), 16);
    } else if (reader.is(u"COLLIDER_TYPE")) {
      collider.colliderType = colliderTypeOf(reader.rawValue());
    } else if (reader.is(u"R")) {
      collider.radius = reader.floatValue();
    } else if (reader.is(u"FLOAT_ARRAY_BEGIN")) {
      auto array = std::make_unique<FloatArray>();
      if (!blocks::readFloatArrayBlock(reader, *array, kColliderFloatArrays)) return false;
      collider.floatArrays.push_back(std::move(array));
    } else if (reader.is(u"POLYGON_DATA_BEGIN")) {
      auto polygon = std::make_unique<ColliderPolygon>();
      if (!readPolygon(reader, collider, *polygon)) return false;
      collider.polygonLists.push_back(std::move(polygon));
    } else if (reader.is(u"WEIGHTS_BEGIN")) {
      if (!blocks::readWeightsBlock(reader, collider.weights, collider.weightCount)) return false;
    } else if (reader.is(u"GEOMETRY_END")) {
      return true;
    }
  }
  return false;
}

// Reads the whole file into `set`; returns the first problem met, or "".
std::string readColliders(ColliderSet& set, text::LineReader& lines) {
  BlockReader reader(lines);
  while (reader.nextKeywordLine(blocks::kOuterSeparators)) {
    if (reader.is(u"MODEL_ID")) {
      set.modelId = reader.readValueLine();
    } else if (reader.is(u"GEOMETRY_BEGIN")) {
      auto collider = std::make_unique<Collider>();
      if (!readCollider(reader, *collider)) {
        return "the file ends inside a GEOMETRY block, which is left out";
      }
      set.colliders.push_back(std::move(collider));
    }
  }
  return {};
}

}  // namespace

bool ReadColliderFile(ColliderSet& set, const std::filesystem::path& path) {
  text::LineReader lines;
  std::string error;
  if (!lines.open(path, &error)) {
    std::fprintf(stderr, "%s: cannot open: %s\n", path.c_str(), error.c_str());
    return false;
  }
  std::string warning = readColliders(set, lines);
  if (!warning.empty()) std::fprintf(stderr, "%s: %s\n", path.c_str(), warning.c_str());
  return true;
}

void readColliderText(ColliderSet& set, std::string bytes, std::string* warning) {
  text::LineReader lines;
  lines.openBytes(std::move(bytes));
  std::string problem = readColliders(set, lines);
  if (warning != nullptr) *warning = std::move(problem);
}
