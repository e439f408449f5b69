#include "model/model_scene.h"

#include <algorithm>

#include "model/collada/collada_transform.h"

std::unique_ptr<ModelScene> identityScene(const ModelData& model) {
  auto scene = std::make_unique<ModelScene>();
  for (std::size_t g = 0; g < model.geometries.size(); ++g) {
    SceneGeometry& sceneGeometry = scene->geometries.emplace_back();
    SceneInstance& instance = scene->instances.emplace_back();
    instance.geometry = static_cast<int32_t>(g);
    std::vector<std::u16string> materials;
    for (const auto& list : model.geometries[g]->polygonLists) {
      sceneGeometry.primitives.push_back({list.get()});
      materials.push_back(list->materialId);
    }
    instance.materials = scene->addNameList(std::move(materials));
  }
  return scene;
}

namespace {

// The positions the geometry's primitives draw, each once, at the bind shape when skinned.
void fillPoints(const Geometry& geometry, const SceneGeometry& sceneGeometry, bool skinned,
                std::vector<float>& out) {
  std::vector<bool> used;
  for (const ScenePrimitive& primitive : sceneGeometry.primitives) {
    const FloatArray* positions = geometry.findFloatArray(primitive.triangles->vertexId);
    if (positions == nullptr || positions->elementFloats() != 3) continue;
    used.assign(static_cast<std::size_t>(std::min<int64_t>(positions->count(), INT32_MAX)), false);
    for (int32_t index : primitive.triangles->vertexIndices) {
      const float* p = positions->at(index);
      if (p == nullptr || used[static_cast<std::size_t>(index)]) continue;
      used[static_cast<std::size_t>(index)] = true;
      if (skinned) {
        float shaped[3];
        collada::transformPoint(geometry.bindShapeMatrix, p, shaped);
        out.insert(out.end(), shaped, shaped + 3);
      } else {
        out.insert(out.end(), p, p + 3);
      }
    }
  }
}

// The eight corners of the box of `points` (none for no points).
std::vector<float> boxCorners(const std::vector<float>& points) {
  if (points.empty()) return {};
  float low[3] = {points[0], points[1], points[2]};
  float high[3] = {points[0], points[1], points[2]};
  for (std::size_t i = 0; i + 2 < points.size(); i += 3) {
    for (int k = 0; k < 3; ++k) {
      low[k] = std::min(low[k], points[i + k]);
      high[k] = std::max(high[k], points[i + k]);
    }
  }
  std::vector<float> corners;
  for (int c = 0; c < 8; ++c) {
    corners.push_back(c & 1 ? high[0] : low[0]);
    corners.push_back(c & 2 ? high[1] : low[1]);
    corners.push_back(c & 4 ? high[2] : low[2]);
  }
  return corners;
}

}  // namespace

SceneBounds sceneBounds(const ModelData& model, const ModelScene& scene) {
  // Points placed one by one up to this many; past it an instance adds the corners of its
  // points' box, which holds them all.
  constexpr int64_t kPointBudget = 50000000;
  int64_t budget = kPointBudget;
  // Per geometry, unskinned and skinned: the drawn positions, each once, before the world
  // matrix; then the corners of their box.
  std::vector<std::vector<float>> points(scene.geometries.size() * 2);
  std::vector<std::vector<float>> corners(scene.geometries.size() * 2);
  std::vector<bool> filled(scene.geometries.size() * 2, false);
  SceneBounds bounds;
  for (const SceneInstance& instance : scene.instances) {
    const auto g = static_cast<std::size_t>(instance.geometry);
    if (instance.geometry < 0 || g >= model.geometries.size() || g >= scene.geometries.size()) continue;
    const std::size_t slot = g * 2 + (instance.skinned ? 1 : 0);
    if (!filled[slot]) {
      filled[slot] = true;
      fillPoints(*model.geometries[g], scene.geometries[g], instance.skinned, points[slot]);
      corners[slot] = boxCorners(points[slot]);
    }
    const std::vector<float>& list =
        static_cast<int64_t>(points[slot].size() / 3) <= budget ? points[slot] : corners[slot];
    budget -= static_cast<int64_t>(list.size() / 3);
    for (std::size_t i = 0; i + 2 < list.size(); i += 3) {
      float v[3];
      collada::transformPoint(instance.world, &list[i], v);
      bounds.add(v);
    }
  }
  return bounds;
}
