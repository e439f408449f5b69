#include "scene/instance_mesh.h"

#include <cmath>
#include <cstring>
#include <unordered_map>

#include "model/matrix_math.h"
#include "platform/text.h"

LoadedTextures LoadModelTextures(const ModelData& model, const TextureLoader& loadTexture) {
  LoadedTextures loaded;
  loaded.resources.assign(model.textures.size(), nullptr);
  loaded.slots.assign(model.textures.size(), -1);
  if (!loadTexture) return loaded;
  for (std::size_t t = 0; t < model.textures.size(); ++t) {
    void* resource = nullptr;
    int64_t slot = -1;
    // A document's scene resolves its image URIs (file://, escapes); the record keeps them as written.
    std::u16string path = text::portablePath(model.textures[t]->fileName);
    if (model.scene != nullptr) {
      for (const SceneImage& image : model.scene->images) {
        if (image.textureId == model.textures[t]->id) {
          path = text::fromUtf8(image.path);
          break;
        }
      }
    }
    if (loadTexture(path, resource, slot)) {
      loaded.resources[t] = resource;
      loaded.slots[t] = slot;
    }
  }
  return loaded;
}

namespace {

GpuMaterial materialFor(const ModelData& model, const std::u16string& name, const LoadedTextures& textures) {
  GpuMaterial material;
  // Unbound surfaces, and those whose colour is an image that did not load, still need to read
  // as a shape under the light: light grey.
  auto grey = [&material] {
    for (int i = 0; i < 3; ++i) material.diffuse[i] = 0.75f;
    material.diffuse[3] = 1;
  };
  const Material* m = model.findMaterial(name);
  if (m == nullptr) {
    grey();
    return material;
  }
  std::memcpy(material.diffuse, m->diffuse, sizeof material.diffuse);
  std::memcpy(material.ambient, m->ambient, sizeof material.ambient);
  std::memcpy(material.emission, m->emission, sizeof material.emission);
  std::memcpy(material.specular, m->specular, sizeof material.specular);
  for (std::size_t t = 0; t < model.textures.size() && t < textures.resources.size(); ++t) {
    if (!text::sameName(model.textures[t]->id, m->textureName)) continue;
    material.texture = textures.resources[t];
    material.textureSlot = static_cast<int32_t>(textures.slots[t]);
    break;
  }
  // A colour given as an image leaves the colour itself unset (black): the image alone colours.
  const bool noColour = m->diffuse[0] == 0 && m->diffuse[1] == 0 && m->diffuse[2] == 0;
  if (noColour && material.texture != nullptr) {
    for (int i = 0; i < 4; ++i) material.diffuse[i] = 1;
  } else if (noColour && !m->textureName.empty()) {
    grey();
  }
  return material;
}

// Element `index` of `array` into `out` (n floats at most); false when it has none.
bool element(const FloatArray* array, const std::vector<int32_t>& indices, std::size_t k, int n, float* out) {
  if (array == nullptr || k >= indices.size()) return false;
  const float* e = array->at(indices[k]);
  if (e == nullptr) return false;
  int m = array->elementFloats() < n ? array->elementFloats() : n;
  for (int i = 0; i < m; ++i) out[i] = e[i];
  return true;
}

void transformPoint(float out[3], const float p[3], const Matrix4& m, float w) {
  const float v[4] = {p[0], p[1], p[2], w};
  float r[4];
  TransformRow(r, v, m);
  for (int i = 0; i < 3; ++i) out[i] = r[i];
}

struct CornerKey {
  int64_t position, normal, color, uv;
  bool operator==(const CornerKey&) const = default;
};

struct CornerHash {
  std::size_t operator()(const CornerKey& k) const {
    uint64_t h = static_cast<uint64_t>(k.position) * 0x9E3779B97F4A7C15ull;
    h ^= static_cast<uint64_t>(k.normal) + 0x7F4A7C159E3779B9ull + (h << 6) + (h >> 2);
    h ^= static_cast<uint64_t>(k.color) + 0x94D049BB133111EBull + (h << 6) + (h >> 2);
    h ^= static_cast<uint64_t>(k.uv) + 0xBF58476D1CE4E5B9ull + (h << 6) + (h >> 2);
    return static_cast<std::size_t>(h);
  }
};

}  // namespace

int64_t AddInstanceGeometry(MeshSet& set, const ModelData& model, const ModelScene& scene,
                            const SceneInstance& instance, const LoadedTextures& textures, bool bindShape,
                            bool counterClockwise) {
  const auto g = static_cast<std::size_t>(instance.geometry);
  if (instance.geometry < 0 || g >= model.geometries.size() || g >= scene.geometries.size()) return 0;
  const Geometry& geometry = *model.geometries[g];
  GpuGeometry& out = *set.newGeometry();
  const bool skinned = instance.skinned;
  const std::span<const std::u16string> materials = scene.materialsOf(instance);
  const Matrix4 shape = skinned || bindShape ? TransposeMatrix(geometry.bindShapeMatrix) : kIdentityMatrix;
  // The vertices are stored already shaped; the draw applies the identity.
  out.bindShapeMatrix = kIdentityMatrix;
  int64_t triangles = 0;
  // The renderer's front faces wind clockwise, as the viewer's own files do; a COLLADA document's
  // wind counter-clockwise, so its corners are taken in the other order.
  static constexpr int kSameOrder[3] = {0, 1, 2}, kReversed[3] = {0, 2, 1};
  const int* order = counterClockwise ? kReversed : kSameOrder;
  std::unordered_map<CornerKey, uint32_t, CornerHash> corners;
  const std::vector<ScenePrimitive>& primitives = scene.geometries[g].primitives;
  for (std::size_t i = 0; i < primitives.size(); ++i) {
    const PolygonData& list = *primitives[i].triangles;
    const FloatArray* positions = geometry.findFloatArray(list.vertexId);
    const FloatArray* normals = geometry.findFloatArray(list.normalId);
    const FloatArray* colors = geometry.findFloatArray(list.colorId);
    const FloatArray* uvs = list.texIds.empty() ? nullptr : geometry.findFloatArray(list.texIds.front());
    if (normals != nullptr && normals->elementFloats() < 3) normals = nullptr;
    std::vector<uint32_t> indices;
    corners.clear();
    const std::size_t count = list.vertexIndices.size() / 3 * 3;
    for (std::size_t k = 0; k < count; k += 3) {
      ModelVertex v[3]{};
      bool valid = positions != nullptr;
      bool haveNormals = normals != nullptr;
      for (int c = 0; c < 3 && valid; ++c) {
        const std::size_t at = k + static_cast<std::size_t>(order[c]);
        float p[3] = {}, n[3] = {};
        valid = element(positions, list.vertexIndices, at, 3, p);
        haveNormals = haveNormals && element(normals, list.normalIndices, at, 3, n);
        transformPoint(v[c].position, p, shape, 1);
        transformPoint(v[c].normal, n, shape, 0);
        v[c].color[0] = v[c].color[1] = v[c].color[2] = v[c].color[3] = 1;
        element(colors, list.colorIndices, at, 4, v[c].color);
        element(uvs, list.texIndices, at, 2, v[c].texCoord);
        const int32_t p0 = list.vertexIndices[at];
        if (skinned) {
          for (int s = 0; s < WeightTable::kInfluences; ++s) {
            BoneWeight w = geometry.weights.at(p0, s);
            if (w.boneIndex >= static_cast<float>(kMaxSkinMatrices)) w = BoneWeight{};
            v[c].bones[s] = w;
          }
        } else {
          v[c].bones[0] = {0, 1};
        }
      }
      if (!valid) continue;
      ++triangles;
      if (!haveNormals) {
        // The face's own normal, on the side its clockwise front faces; its corners are not
        // shared with any other face.
        float a[3], b[3], n[3];
        for (int i2 = 0; i2 < 3; ++i2) {
          a[i2] = v[2].position[i2] - v[0].position[i2];
          b[i2] = v[1].position[i2] - v[0].position[i2];
        }
        n[0] = a[1] * b[2] - a[2] * b[1];
        n[1] = a[2] * b[0] - a[0] * b[2];
        n[2] = a[0] * b[1] - a[1] * b[0];
        for (ModelVertex& c : v) std::memcpy(c.normal, n, sizeof n);
        for (const ModelVertex& c : v) {
          indices.push_back(static_cast<uint32_t>(out.vertices.size()));
          out.vertices.push_back(c);
        }
        continue;
      }
      for (int c = 0; c < 3; ++c) {
        const std::size_t at = k + static_cast<std::size_t>(order[c]);
        auto index = [&](const FloatArray* array, const std::vector<int32_t>& list2) -> int64_t {
          return array != nullptr && at < list2.size() ? list2[at] : -1;
        };
        CornerKey key{list.vertexIndices[at], index(normals, list.normalIndices), index(colors, list.colorIndices),
                      index(uvs, list.texIndices)};
        auto [it, added] = corners.try_emplace(key, static_cast<uint32_t>(out.vertices.size()));
        if (added) out.vertices.push_back(v[c]);
        indices.push_back(it->second);
      }
    }
    const std::u16string& material = i < materials.size() ? materials[i] : list.materialId;
    out.materials.push_back(materialFor(model, material, textures));
    out.indexCounts.push_back(static_cast<int32_t>(indices.size()));
    out.indexLists.push_back(std::move(indices));
  }
  set.geometries.append(&out);
  return triangles;
}
