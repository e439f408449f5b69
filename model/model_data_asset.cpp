#include "model/model_data_asset.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "model/load_error.h"
#include "model/matrix_math.h"
#include "model/model_data.h"
#include "model/model_conventions.h"
#include "model/model_scene.h"
#include "platform/text.h"

namespace {

using text::toUtf8;

float linearFromDisplay(float c) {
  c = std::clamp(c, 0.0f, 1.0f);
  return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

bool isBlack(const float c[4]) { return c[0] == 0 && c[1] == 0 && c[2] == 0; }

// The 3 x 3 inverse transpose of `m`'s linear part, for normals; identity when it is singular.
Matrix4 normalMatrixOf(const Matrix4& m) {
  const double a = m[0], b = m[1], c = m[2], d = m[4], e = m[5], f = m[6], g = m[8], h = m[9], i = m[10];
  const double det = a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
  if (!(std::fabs(det) > 1e-30)) return kIdentityMatrix;
  // The inverse's transpose is the cofactor matrix over the determinant.
  const double cof[9] = {e * i - f * h, -(d * i - f * g), d * h - e * g,
                         -(b * i - c * h), a * i - c * g, -(a * h - b * g),
                         b * f - c * e, -(a * f - c * d), a * e - b * d};
  Matrix4 out = kIdentityMatrix;
  for (int r = 0; r < 3; ++r) {
    for (int k = 0; k < 3; ++k) out[r * 4 + k] = static_cast<float>(cof[r * 3 + k] / det);
  }
  return out;
}

void transform(const Matrix4& m, const float in[3], float w, float out[3]) {
  for (int k = 0; k < 3; ++k) out[k] = in[0] * m[k] + in[1] * m[4 + k] + in[2] * m[8 + k] + w * m[12 + k];
}

// `world` under `parent` as a local matrix: world x parent^-1, in double precision.
Matrix4 localUnder(const Matrix4& world, const Matrix4& parent) {
  Matrix4 inverse;
  MatrixInverse(inverse, nullptr, parent);
  bool finite = std::all_of(inverse.begin(), inverse.end(), [](float v) { return std::isfinite(v); });
  if (!finite) return world;
  Matrix4 local;
  MatrixMultiply(local, world, inverse);
  return local;
}

// A corner's indices into its geometry's arrays: the same indices make the same vertex.
struct CornerKey {
  int64_t position, normal, color, uv;
  bool operator==(const CornerKey&) const = default;
};

// Joins corners with the same indices into one vertex: an open-addressed table of vertex
// numbers, each corner's key kept beside its vertex.
class CornerWelder {
 public:
  void reset(std::size_t corners) {
    std::size_t size = 64;
    while (size < corners * 2) size *= 2;
    slots_.assign(size, kEmpty);
    keys_.clear();
    keys_.reserve(std::min<std::size_t>(corners, std::size_t{1} << 26));
  }
  // The vertex of `key`, and whether it is new.
  std::pair<uint32_t, bool> find(const CornerKey& key) {
    if (keys_.size() * 2 >= slots_.size()) grow();
    std::size_t i = hash(key) & (slots_.size() - 1);
    for (;; i = (i + 1) & (slots_.size() - 1)) {
      if (slots_[i] == kEmpty) {
        slots_[i] = static_cast<uint32_t>(keys_.size());
        keys_.push_back(key);
        return {slots_[i], true};
      }
      if (keys_[slots_[i]] == key) return {slots_[i], false};
    }
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  static std::size_t hash(const CornerKey& k) {
    uint64_t h = static_cast<uint64_t>(k.position) * 0x9E3779B97F4A7C15ull;
    h ^= (static_cast<uint64_t>(k.normal) + 0x7F4A7C159E3779B9ull) * 0xBF58476D1CE4E5B9ull;
    h ^= (static_cast<uint64_t>(k.color) + 0x94D049BB133111EBull) * 0x94D049BB133111EBull;
    h ^= (static_cast<uint64_t>(k.uv) + 0x2545F4914F6CDD1Dull) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h ^ (h >> 29));
  }
  void grow() {
    slots_.assign(slots_.size() * 2, kEmpty);
    for (uint32_t v = 0; v < keys_.size(); ++v) {
      std::size_t i = hash(keys_[v]) & (slots_.size() - 1);
      while (slots_[i] != kEmpty) i = (i + 1) & (slots_.size() - 1);
      slots_[i] = v;
    }
  }
  std::vector<uint32_t> slots_;
  std::vector<CornerKey> keys_;
};

// One indexed source of a corner attribute: a float array and the corner's index list into it.
struct Source {
  const FloatArray* array = nullptr;
  const std::vector<int32_t>* indices = nullptr;

  // Element `corner`'s floats (n of them, the rest zeros), or null when it has none.
  bool read(std::size_t corner, int n, float* out, int64_t& index) const {
    if (array == nullptr || indices == nullptr || corner >= indices->size()) return false;
    index = (*indices)[corner];
    const float* e = array->at(index);
    if (e == nullptr) return false;
    const int m = std::min(array->elementFloats(), n);
    for (int i = 0; i < m; ++i) out[i] = e[i];
    return true;
  }
};

class Converter {
 public:
  Converter(const ModelData& data, const std::filesystem::path& file, const ModelConventions& conventions,
            ModelAsset& out)
      : data_(data), file_(file), folder_(file.parent_path()), conventions_(conventions), out_(out) {}

  bool run() {
    std::unique_ptr<ModelScene> identity;
    scene_ = data_.scene.get();
    fromMdl_ = scene_ == nullptr;
    if (fromMdl_) {
      identity = identityScene(data_);
      scene_ = identity.get();
    }
    out_.name = toUtf8(data_.modelId);
    out_.upAxis = UpAxis::kZ;  // the scene reading turns a document's axes already
    out_.metresPerUnit = fromMdl_ ? conventions_.metresPerUnit : scene_->unitMeter;
    images();
    materials();
    nodesAndInstances();
    animations();
    if (out_.meshes.empty()) {
      printLoadError("%s: no geometry to draw", file_.c_str());
      return false;
    }
    return true;
  }

 private:
  void images() {
    for (const auto& texture : data_.textures) {
      ImageSource& image = out_.images.emplace_back();
      std::u16string written = texture->fileName;
      std::string path;
      if (!fromMdl_) {
        for (const SceneImage& resolved : scene_->images) {
          if (resolved.textureId == texture->id) {
            written = text::fromUtf8(resolved.written);
            path = resolved.path;
            break;
          }
        }
      }
      image.name = toUtf8(written);
      image.path = !path.empty() ? std::filesystem::path(path) : folder_ / text::portablePath(texture->fileName);
    }
  }

  int32_t textureIndex(std::u16string_view id) const {
    for (std::size_t t = 0; t < data_.textures.size(); ++t) {
      if (data_.textures[t]->id == id) return static_cast<int32_t>(t);
    }
    return -1;
  }

  void materials() {
    for (const auto& record : data_.materials) {
      const SceneMaterial* extra = nullptr;
      for (const SceneMaterial& m : scene_->materials) {
        if (m.name == record->name) {
          extra = &m;
          break;
        }
      }
      const float* ambient = extra != nullptr ? extra->ambient : record->ambient;
      const float* specular = extra != nullptr ? extra->specular : record->specular;
      const float* emission = extra != nullptr ? extra->emission : record->emission;
      MaterialDescription& m = out_.materials.emplace_back();
      m.name = toUtf8(record->name);
      const int32_t texture = textureIndex(extra != nullptr && !extra->textureId.empty() ? extra->textureId
                                                                                          : record->textureName);
      for (int k = 0; k < 3; ++k) m.baseColor[k] = linearFromDisplay(record->diffuse[k]);
      m.baseColor[3] = std::clamp(record->diffuse[3], 0.0f, 1.0f);
      if (texture >= 0) {
        m.baseColorTexture.image = texture;
        // A colour given as an image leaves the colour itself black: the image alone colours.
        // Should the image be unusable, the ambient colour (as 3ds Max writes the surface's
        // colour beside its map) or else the diffuse one shows the surface.
        const float* fallback = !isBlack(record->diffuse) ? record->diffuse : !isBlack(ambient) ? ambient : nullptr;
        if (isBlack(record->diffuse)) {
          for (int k = 0; k < 3; ++k) m.baseColor[k] = 1;
          if (record->diffuse[3] == 0) m.baseColor[3] = 1;
        }
        if (fallback != nullptr) {
          m.hasBaseColorWithoutTexture = true;
          for (int k = 0; k < 3; ++k) m.baseColorWithoutTexture[k] = linearFromDisplay(fallback[k]);
          m.baseColorWithoutTexture[3] = m.baseColor[3];
        }
        m.blendWhenTextureTranslucent = true;
      }
      m.metallic = 0;
      m.roughness = 1.0f - 0.6f * std::clamp(std::max({specular[0], specular[1], specular[2]}), 0.0f, 1.0f);
      for (int k = 0; k < 3; ++k) m.emissive[k] = linearFromDisplay(emission[k]);
      if (m.baseColor[3] < 1) m.alphaMode = AlphaMode::kBlend;
      m.doubleSided = true;
    }
  }

  int32_t materialIndex(std::u16string_view name) const {
    if (name.empty()) return -1;
    for (std::size_t i = 0; i < data_.materials.size(); ++i) {
      if (data_.materials[i]->name == name) return static_cast<int32_t>(i);
    }
    return -1;
  }

  // The mesh of `instance`'s geometry with its bound materials, made on first use.
  int32_t meshOf(const SceneInstance& instance) {
    const auto g = static_cast<std::size_t>(instance.geometry);
    if (instance.geometry < 0 || g >= data_.geometries.size() || g >= scene_->geometries.size()) return -1;
    const std::span<const std::u16string> bound = scene_->materialsOf(instance);
    std::vector<int32_t> materials;
    const std::vector<ScenePrimitive>& primitives = scene_->geometries[g].primitives;
    for (std::size_t i = 0; i < primitives.size(); ++i) {
      materials.push_back(materialIndex(i < bound.size() ? bound[i] : primitives[i].triangles->materialId));
    }
    // .mdl geometries are all drawn through their bind shape.
    const bool shaped = instance.skinned || fromMdl_;
    auto key = std::make_tuple(instance.geometry, instance.skinned, shaped, materials);
    auto [found, added] = meshes_.try_emplace(key, -1);
    if (!added) return found->second;
    Mesh mesh = buildMesh(*data_.geometries[g], scene_->geometries[g], materials, instance.skinned, shaped);
    if (mesh.primitives.empty()) return -1;
    found->second = static_cast<int32_t>(out_.meshes.size());
    out_.meshes.push_back(std::move(mesh));
    return found->second;
  }

  Mesh buildMesh(const Geometry& geometry, const SceneGeometry& scene, const std::vector<int32_t>& materials,
                 bool skinned, bool shaped) {
    Mesh mesh;
    mesh.name = toUtf8(geometry.id);
    const Matrix4 shape = shaped ? TransposeMatrix(geometry.bindShapeMatrix) : kIdentityMatrix;
    const Matrix4 normalShape = normalMatrixOf(shape);
    static constexpr int kSameOrder[3] = {0, 1, 2}, kReversed[3] = {0, 2, 1};
    const int* order = conventions_.clockwiseFronts ? kReversed : kSameOrder;
    for (std::size_t p = 0; p < scene.primitives.size(); ++p) {
      const PolygonData& list = *scene.primitives[p].triangles;
      const FloatArray* positions = geometry.findFloatArray(list.vertexId);
      if (positions == nullptr || positions->elementFloats() != 3) continue;
      // Each attribute from the list's own input, else from the vertices element's.
      auto source = [&](std::u16string_view listId, const std::vector<int32_t>& listIndices,
                        std::u16string_view vertexId) {
        if (const FloatArray* a = scene.findArray(geometry, listId)) return Source{a, &listIndices};
        if (const FloatArray* a = scene.findArray(geometry, vertexId)) return Source{a, &list.vertexIndices};
        return Source{};
      };
      Source normals = source(list.normalId, list.normalIndices, scene.vertexNormalId);
      if (normals.array != nullptr && normals.array->elementFloats() < 3) normals = {};
      const Source colors = source(list.colorId, list.colorIndices, scene.vertexColorId);
      const Source uv0 = source(list.texIds.empty() ? std::u16string_view() : list.texIds[0], list.texIndices,
                                scene.vertexTexId);
      const Source uv1 = list.texIds.size() > 1 ? source(list.texIds[1], list.texIndices, {}) : Source{};
      const Source corners{positions, &list.vertexIndices};

      MeshPrimitive out;
      out.material = p < materials.size() ? materials[p] : -1;
      const std::size_t count = list.vertexIndices.size() / 3 * 3;
      if (sharesPositionIndices(list, *positions, count, {normals, colors, uv0, uv1})) {
        positionIndexedPrimitive(geometry, list, count, {normals, colors, uv0, uv1}, shape, normalShape, order,
                                 skinned, out);
        if (!out.indices.empty()) mesh.primitives.push_back(std::move(out));
        continue;
      }
      welder_.reset(count);
      for (std::size_t k = 0; k < count; k += 3) {
        float position[3][3] = {}, normal[3][3] = {}, color[3][4], uv[3][2] = {}, uvSecond[3][2] = {};
        CornerKey keys[3];
        bool valid = true, haveNormals = normals.array != nullptr;
        for (int c = 0; c < 3 && valid; ++c) {
          const std::size_t at = k + static_cast<std::size_t>(order[c]);
          int64_t ignored = -1;
          keys[c] = {-1, -1, -1, -1};
          valid = corners.read(at, 3, position[c], keys[c].position);
          haveNormals = haveNormals && normals.read(at, 3, normal[c], keys[c].normal);
          std::fill(color[c], color[c] + 4, 1.0f);
          colors.read(at, 4, color[c], keys[c].color);
          uv0.read(at, 2, uv[c], keys[c].uv);
          uv1.read(at, 2, uvSecond[c], ignored);
        }
        if (!valid) continue;  // a corner outside its arrays takes its triangle with it
        if (!haveNormals && normals.array != nullptr) {
          // Some corner without a normal: the face's own, at corners of its own.
          float a[3], b[3], n[3];
          for (int i = 0; i < 3; ++i) {
            a[i] = position[1][i] - position[0][i];
            b[i] = position[2][i] - position[0][i];
          }
          n[0] = a[1] * b[2] - a[2] * b[1];
          n[1] = a[2] * b[0] - a[0] * b[2];
          n[2] = a[0] * b[1] - a[1] * b[0];
          for (int c = 0; c < 3; ++c) {
            std::memcpy(normal[c], n, sizeof n);
            keys[c].normal = -2 - static_cast<int64_t>(k + c);
          }
        }
        for (int c = 0; c < 3; ++c) {
          const auto [vertex, added] = welder_.find(keys[c]);
          out.indices.push_back(vertex);
          if (!added) continue;
          float shapedPosition[3];
          transform(shape, position[c], 1, shapedPosition);
          out.positions.insert(out.positions.end(), shapedPosition, shapedPosition + 3);
          if (normals.array != nullptr) {
            float n[3];
            transform(normalShape, normal[c], 0, n);
            const float length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
            for (float& v : n) v = length > 0 ? v / length : 0;
            out.normals.insert(out.normals.end(), n, n + 3);
          }
          if (colors.array != nullptr) {
            for (int i = 0; i < 3; ++i) out.colors.push_back(linearFromDisplay(color[c][i]));
            out.colors.push_back(std::clamp(color[c][3], 0.0f, 1.0f));
          }
          if (uv0.array != nullptr) {
            out.texCoords[0].push_back(uv[c][0]);
            out.texCoords[0].push_back(conventions_.textureOriginAtBottom ? 1 - uv[c][1] : uv[c][1]);
          }
          if (uv1.array != nullptr) {
            out.texCoords[1].push_back(uvSecond[c][0]);
            out.texCoords[1].push_back(conventions_.textureOriginAtBottom ? 1 - uvSecond[c][1] : uvSecond[c][1]);
          }
          if (skinned) addWeights(geometry, keys[c].position, out);
        }
      }
      if (out.indices.empty()) continue;
      mesh.primitives.push_back(std::move(out));
    }
    return mesh;
  }

  // Whether every corner of the list takes each attribute at its position's own index (the
  // inputs share one offset, as most exports write them) and every index lies inside every
  // array: its vertices are then the positions themselves, with no corner to join.
  static bool sharesPositionIndices(const PolygonData& list, const FloatArray& positionArray, std::size_t count,
                                    std::initializer_list<Source> sources) {
    const std::vector<int32_t>& positions = list.vertexIndices;
    int64_t limit = std::min<int64_t>(positionArray.count(), INT32_MAX);
    for (const Source& s : sources) {
      if (s.array == nullptr) continue;
      if (s.indices != &positions &&
          (s.indices->size() < count || !std::equal(positions.begin(), positions.begin() + count, s.indices->begin()))) {
        return false;
      }
      limit = std::min(limit, s.array->count());
    }
    for (std::size_t k = 0; k < count; ++k) {
      if (positions[k] < 0 || positions[k] >= limit) return false;
    }
    return true;
  }

  // The list as it is: a vertex per position, attributes from the same index.
  void positionIndexedPrimitive(const Geometry& geometry, const PolygonData& list, std::size_t count,
                                std::initializer_list<Source> sources, const Matrix4& shape, const Matrix4& normalShape,
                                const int* order, bool skinned, MeshPrimitive& out) const {
    const FloatArray* positions = geometry.findFloatArray(list.vertexId);
    const auto vertices = static_cast<std::size_t>(std::min<int64_t>(positions->count(), INT32_MAX));
    const Source* attribute[4];
    std::size_t n = 0;
    for (const Source& s : sources) attribute[n++] = &s;
    const Source &normals = *attribute[0], &colors = *attribute[1], &uv0 = *attribute[2], &uv1 = *attribute[3];
    out.positions.resize(vertices * 3);
    if (normals.array != nullptr) out.normals.resize(vertices * 3);
    if (colors.array != nullptr) out.colors.resize(vertices * 4);
    if (uv0.array != nullptr) out.texCoords[0].resize(vertices * 2);
    if (uv1.array != nullptr) out.texCoords[1].resize(vertices * 2);
    for (std::size_t v = 0; v < vertices; ++v) {
      const auto index = static_cast<int64_t>(v);
      transform(shape, positions->at(index), 1, &out.positions[v * 3]);
      if (normals.array != nullptr) {
        float* n3 = &out.normals[v * 3];
        transform(normalShape, normals.array->at(index), 0, n3);
        const float length = std::sqrt(n3[0] * n3[0] + n3[1] * n3[1] + n3[2] * n3[2]);
        for (int i = 0; i < 3; ++i) n3[i] = length > 0 ? n3[i] / length : 0;
      }
      if (colors.array != nullptr) {
        float c[4] = {1, 1, 1, 1};
        const float* e = colors.array->at(index);
        for (int i = 0; i < std::min(colors.array->elementFloats(), 4); ++i) c[i] = e[i];
        for (int i = 0; i < 3; ++i) out.colors[v * 4 + i] = linearFromDisplay(c[i]);
        out.colors[v * 4 + 3] = std::clamp(c[3], 0.0f, 1.0f);
      }
      for (int set = 0; set < 2; ++set) {
        const Source& uv = set == 0 ? uv0 : uv1;
        if (uv.array == nullptr) continue;
        const float* e = uv.array->at(index);
        const float u = e[0], t = uv.array->elementFloats() >= 2 ? e[1] : 0.0f;
        out.texCoords[set][v * 2] = u;
        out.texCoords[set][v * 2 + 1] = conventions_.textureOriginAtBottom ? 1 - t : t;
      }
      if (skinned) addWeights(geometry, index, out);
    }
    out.indices.resize(count);
    for (std::size_t k = 0; k < count; k += 3) {
      for (int c = 0; c < 3; ++c) out.indices[k + static_cast<std::size_t>(c)] = static_cast<uint32_t>(list.vertexIndices[k + static_cast<std::size_t>(order[c])]);
    }
  }

  // The four heaviest influences of position `row`, their weights summing to one.
  static void addWeights(const Geometry& geometry, int64_t row, MeshPrimitive& out) {
    uint16_t joints[4] = {};
    float weights[4] = {};
    float sum = 0;
    for (int s = 0; s < 4; ++s) {
      // Rows are kept heaviest first.
      const BoneWeight w = geometry.weights.at(row, s);
      if (!(w.weight > 0) || !(w.boneIndex >= 0) || w.boneIndex > 65535) continue;
      joints[s] = static_cast<uint16_t>(w.boneIndex);
      weights[s] = w.weight;
      sum += w.weight;
    }
    if (sum > 0) {
      for (float& w : weights) w /= sum;
    }
    out.joints.insert(out.joints.end(), joints, joints + 4);
    out.weights.insert(out.weights.end(), weights, weights + 4);
  }

  // Places a mesh at `node`: the node itself when it has none yet, else a child of it.
  void attach(int32_t node, int32_t mesh, int32_t skin) {
    AssetNode* holder = &out_.nodes[static_cast<std::size_t>(node)];
    if (holder->mesh >= 0) {
      AssetNode child;
      child.parent = node;
      out_.nodes.push_back(std::move(child));
      holder = &out_.nodes.back();
    }
    holder->mesh = mesh;
    holder->skin = skin;
  }

  void nodesAndInstances() {
    if (fromMdl_) {
      mdlNodes();
      return;
    }
    const bool tree = !scene_->placedNodes.empty();
    if (tree) {
      for (const ScenePlacedNode& placed : scene_->placedNodes) {
        AssetNode& node = out_.nodes.emplace_back();
        const Matrix4 world = TransposeMatrix(placed.world);
        if (placed.parent >= 0) {
          node.parent = placed.parent;
          node.local = localUnder(world, TransposeMatrix(scene_->placedNodes[static_cast<std::size_t>(placed.parent)].world));
          node.name = toUtf8(scene_->nodeIds[static_cast<std::size_t>(placed.node)]);
        } else {
          node.local = world;
        }
      }
    }
    for (const SceneInstance& instance : scene_->instances) {
      const int32_t mesh = meshOf(instance);
      if (mesh < 0) continue;
      int32_t skin = -1;
      if (tree && instance.skinned) skin = colladaSkin(instance);
      if (tree && instance.placed >= 0) {
        attach(instance.placed, mesh, skin);
        continue;
      }
      AssetNode& node = out_.nodes.emplace_back();
      node.name = toUtf8(scene_->nodeIdOf(instance));
      node.local = TransposeMatrix(instance.world);
      node.mesh = mesh;
    }
  }

  int32_t colladaSkin(const SceneInstance& instance) {
    Skin skin;
    const std::vector<int32_t>* joints =
        instance.jointPlacements >= 0 ? &scene_->placementLists[static_cast<std::size_t>(instance.jointPlacements)]
                                      : nullptr;
    const std::vector<Matrix4>* inverseBinds =
        instance.skin >= 0 ? &scene_->skins[static_cast<std::size_t>(instance.skin)].inverseBinds : nullptr;
    const std::size_t count = joints != nullptr ? joints->size() : 0;
    for (std::size_t j = 0; j < count; ++j) {
      // A joint found nowhere leaves its vertices where the bind shape put them, on the root.
      const int32_t placed = (*joints)[j];
      skin.joints.push_back(placed >= 0 ? placed : 0);
      skin.inverseBinds.push_back(placed >= 0 && inverseBinds != nullptr && j < inverseBinds->size()
                                      ? TransposeMatrix((*inverseBinds)[j])
                                      : kIdentityMatrix);
    }
    out_.skins.push_back(std::move(skin));
    return static_cast<int32_t>(out_.skins.size() - 1);
  }

  // A .mdl model: each geometry once at the root, posed by the bone tree when weighted. Its
  // skinning composes each bone's change from its rest pose, B^-1 x L x J^-1 x B (B its inverse
  // bind matrix, J its rest and L its posed local matrix), down the tree: each bone node's
  // local matrix is that product, so that its world is the skinning matrix itself (with
  // identity inverse binds), and a matrix key L becomes the key B^-1 x L x J^-1 x B, which
  // blends the same (the map is linear in L).
  void mdlNodes() {
    int32_t skin = -1;
    if (!data_.bones.empty()) {
      Skin bones;
      std::unordered_map<const Bone*, int32_t> nodeOf;
      // Parents first: the trees from their roots, in order.
      std::vector<const Bone*> stack;
      for (auto root = data_.rootBones.rbegin(); root != data_.rootBones.rend(); ++root) stack.push_back(*root);
      while (!stack.empty()) {
        const Bone* bone = stack.back();
        stack.pop_back();
        if (nodeOf.count(bone) != 0) continue;
        AssetNode& node = out_.nodes.emplace_back();
        node.name = toUtf8(bone->name);
        node.parent = bone->parent != nullptr && nodeOf.count(bone->parent) != 0 ? nodeOf[bone->parent] : -1;
        nodeOf[bone] = static_cast<int32_t>(out_.nodes.size() - 1);
        for (auto child = bone->children.rbegin(); child != bone->children.rend(); ++child) stack.push_back(*child);
      }
      for (const Bone* bone : data_.bones) {
        auto found = nodeOf.find(bone);
        if (found == nodeOf.end()) {  // a listed bone in no tree: a root of its own
          out_.nodes.emplace_back().name = toUtf8(bone->name);
          found = nodeOf.emplace(bone, static_cast<int32_t>(out_.nodes.size() - 1)).first;
        }
        bones.joints.push_back(found->second);
        bones.inverseBinds.push_back(kIdentityMatrix);
      }
      for (const auto& [bone, node] : nodeOf) boneNodes_[bone->id].push_back(node);
      bonesOf_ = nodeOf;
      out_.skins.push_back(std::move(bones));
      skin = 0;
    }
    for (const SceneInstance& instance : scene_->instances) {
      SceneInstance placed = instance;
      const Geometry& geometry = *data_.geometries[static_cast<std::size_t>(instance.geometry)];
      placed.skinned = skin >= 0 && std::any_of(geometry.weights.stored.begin(), geometry.weights.stored.end(),
                                                [](const BoneWeight& w) { return w.weight > 1e-7f; });
      const int32_t mesh = meshOf(placed);
      if (mesh < 0) continue;
      AssetNode& node = out_.nodes.emplace_back();
      node.name = toUtf8(geometry.id);
      node.mesh = mesh;
      node.skin = placed.skinned ? skin : -1;
    }
  }

  // The key of a .mdl bone's local matrix `pose` (a file matrix) as its node's local matrix.
  static Matrix4 mdlBoneLocal(const Bone& bone, const Matrix4& pose) {
    const Matrix4 b = TransposeMatrix(bone.invBindMatrix), l = TransposeMatrix(pose), j = TransposeMatrix(bone.jointMatrix);
    Matrix4 jInverse, bInverse, t1, t2, t3;
    MatrixInverse(jInverse, nullptr, j);
    MatrixInverse(bInverse, nullptr, b);
    MatrixMultiply(t1, b, l);
    MatrixMultiply(t2, t1, jInverse);
    MatrixMultiply(t3, t2, bInverse);
    return t3;
  }

  // Nodes that an animation track's target names: the placements of the node of that id (a
  // COLLADA document), or the bones of that id (a .mdl model).
  const std::vector<int32_t>& targets(std::u16string_view id) {
    if (fromMdl_) {
      static const std::vector<int32_t> kNone;
      auto found = boneNodes_.find(std::u16string(id));
      return found != boneNodes_.end() ? found->second : kNone;
    }
    if (placementsById_.empty()) {
      for (std::size_t i = 0; i < scene_->placedNodes.size(); ++i) {
        const int32_t node = scene_->placedNodes[i].node;
        if (node >= 0) placementsById_[scene_->nodeIds[static_cast<std::size_t>(node)]].push_back(static_cast<int32_t>(i));
      }
    }
    static const std::vector<int32_t> kNone;
    auto found = placementsById_.find(std::u16string(id));
    return found != placementsById_.end() ? found->second : kNone;
  }

  void addClip(const AnimationSet& set, double secondsPerUnit) {
    AnimationClip clip;
    clip.name = toUtf8(set.id);
    for (const auto& track : set.tracks) {
      const std::size_t keys = std::min(track->keyTimes.size(), track->poses.size());
      if (keys == 0) continue;
      for (int32_t node : targets(track->target)) {
        AnimationChannel channel;
        channel.node = node;
        channel.path = AnimationPath::kMatrix;
        channel.interpolation = Interpolation::kLinear;
        const Bone* bone = nullptr;
        if (fromMdl_) {
          for (const auto& [b, n] : bonesOf_) {
            if (n == node) bone = b;
          }
        }
        for (std::size_t k = 0; k < keys; ++k) {
          channel.times.push_back(static_cast<float>(track->keyTimes[k] * secondsPerUnit));
          const Matrix4 local = bone != nullptr ? mdlBoneLocal(*bone, track->poses[k]) : TransposeMatrix(track->poses[k]);
          channel.values.insert(channel.values.end(), local.begin(), local.end());
        }
        // Key times out of order would make the blend run backwards: such a track plays as
        // far as its keys ascend.
        std::size_t ascending = 1;
        while (ascending < channel.times.size() && channel.times[ascending] >= channel.times[ascending - 1]) ++ascending;
        channel.times.resize(ascending);
        channel.values.resize(ascending * 16);
        clip.channels.push_back(std::move(channel));
      }
    }
    if (!clip.channels.empty()) out_.animations.push_back(std::move(clip));
  }

  void animations() {
    if (!fromMdl_) {
      for (const auto& set : scene_->animations) addClip(*set, conventions_.secondsPerTimeUnit);
    }
    // A document's own record set ("ColladaAnim_001") is the scene's clips over again; the
    // sets after it come from animation files; a .mdl model's are its own and those files'.
    const std::size_t first = fromMdl_ ? 0 : 1;
    for (std::size_t i = first; i < data_.animations.size(); ++i) addClip(*data_.animations[i], kAnimationFileSecondsPerUnit);
  }

  // Key times of the viewer's animation files (.ani), as of its models: twelve units a second.
  static constexpr double kAnimationFileSecondsPerUnit = 1.0 / 12.0;

  const ModelData& data_;
  const std::filesystem::path file_, folder_;
  const ModelConventions& conventions_;
  ModelAsset& out_;
  const ModelScene* scene_ = nullptr;
  bool fromMdl_ = false;
  CornerWelder welder_;
  std::map<std::tuple<int32_t, bool, bool, std::vector<int32_t>>, int32_t> meshes_;
  std::unordered_map<std::u16string, std::vector<int32_t>> placementsById_, boneNodes_;
  std::unordered_map<const Bone*, int32_t> bonesOf_;
};

}  // namespace

bool modelDataToAsset(const ModelData& data, const std::filesystem::path& file, const ModelConventions& conventions,
                      ModelAsset& out) {
  return Converter(data, file, conventions, out).run();
}
