#include "scene/mesh_set.h"

#include <cmath>
#include <cstring>
#include <string>
#include <unordered_set>

#include "model/matrix_math.h"
#include "platform/text.h"

MeshBone* MeshSet::newBone() {
  boneStore_.push_back(std::make_unique<MeshBone>());
  return boneStore_.back().get();
}

MeshAnimation* MeshSet::newAnimation() {
  animationStore_.push_back(std::make_unique<MeshAnimation>());
  return animationStore_.back().get();
}

GpuGeometry* MeshSet::newGeometry() {
  geometryStore_.push_back(std::make_unique<GpuGeometry>());
  return geometryStore_.back().get();
}

namespace {

// Copies up to `n` floats of one float-array element; an element with fewer floats leaves the
// rest as they are.
void copyElement(float* out, int n, const FloatArray& array, int64_t index) {
  const float* e = array.at(index);
  if (e == nullptr) return;
  int k = array.elementFloats() < n ? array.elementFloats() : n;
  for (int i = 0; i < k; ++i) out[i] = e[i];
}

std::string describe(const Geometry& geometry) {
  return "geometry \"" + text::toUtf8(geometry.id) + "\"";
}

// An index list entry k that must name an element of `array`.
bool checkIndexed(const std::vector<int32_t>& indices, std::size_t k, const FloatArray& array,
                  const char* what, const Geometry& geometry, std::string* error) {
  if (k >= indices.size()) {
    if (error) {
      *error = describe(geometry) + ": " + what + " index list has " +
               std::to_string(indices.size()) + " entries for " + std::to_string(k + 1) +
               " corners";
    }
    return false;
  }
  int32_t i = indices[k];
  if (i < 0 || i >= array.count()) {
    if (error) {
      *error = describe(geometry) + ": " + what + " index " + std::to_string(i) + " beyond " +
               std::to_string(array.count()) + " entries of \"" + text::toUtf8(array.id) + "\"";
    }
    return false;
  }
  return true;
}

// Every index the build follows stays inside its array.
bool validateModel(const ModelData& model, std::string* error) {
  for (const auto& geometry : model.geometries) {
    for (const auto& list : geometry->polygonLists) {
      const FloatArray* positions = geometry->findFloatArray(list->vertexId);
      const FloatArray* normals = geometry->findFloatArray(list->normalId);
      const FloatArray* colors = geometry->findFloatArray(list->colorId);
      for (std::size_t k = 0; k < list->vertexIndices.size(); ++k) {
        int32_t p = list->vertexIndices[k];
        if (p < 0 || p >= geometry->vertexCount) {
          if (error) {
            *error = describe(*geometry) + ": position index " + std::to_string(p) +
                     " beyond " + std::to_string(geometry->vertexCount) + " vertices";
          }
          return false;
        }
        if (geometry->weights.created && p >= geometry->weightCount) {
          if (error) {
            *error = describe(*geometry) + ": position index " + std::to_string(p) +
                     " beyond " + std::to_string(geometry->weightCount) + " weights";
          }
          return false;
        }
        if (positions != nullptr && p >= positions->count()) {
          if (error) {
            *error = describe(*geometry) + ": position index " + std::to_string(p) +
                     " beyond " + std::to_string(positions->count()) + " entries of \"" +
                     text::toUtf8(positions->id) + "\"";
          }
          return false;
        }
        if (normals != nullptr &&
            !checkIndexed(list->normalIndices, k, *normals, "normal", *geometry, error)) {
          return false;
        }
        if (colors != nullptr &&
            !checkIndexed(list->colorIndices, k, *colors, "colour", *geometry, error)) {
          return false;
        }
        for (const auto& texId : list->texIds) {
          const FloatArray* uv = geometry->findFloatArray(texId);
          if (uv != nullptr &&
              !checkIndexed(list->texIndices, k, *uv, "texture coordinate", *geometry, error)) {
            return false;
          }
        }
      }
    }
  }
  return true;
}

void setBox(GpuGeometry& g, const float mn[3], const float mx[3]) {
  const float corners[8][3] = {
      {mn[0], mn[1], mx[2]}, {mn[0], mx[1], mx[2]}, {mx[0], mx[1], mx[2]}, {mx[0], mn[1], mx[2]},
      {mn[0], mn[1], mn[2]}, {mn[0], mx[1], mn[2]}, {mx[0], mx[1], mn[2]}, {mx[0], mn[1], mn[2]},
  };
  for (int c = 0; c < 8; ++c) {
    for (int i = 0; i < 3; ++i) g.boxCorners[c][i] = corners[c][i];
    g.boxCorners[c][3] = 0;
  }
  for (int i = 0; i < 3; ++i) g.boxCenter[i] = (mn[i] + mx[i]) * 0.5f;
  float dx = g.boxCorners[0][0] - g.boxCenter[0];
  float dy = g.boxCorners[0][1] - g.boxCenter[1];
  float dz = g.boxCorners[0][2] - g.boxCenter[2];
  g.boxRadius = std::sqrt(dx * dx + dy * dy + dz * dz);
}

void buildGeometry(MeshSet& set, const ModelData& model, const Geometry& geometry,
                   const std::vector<int64_t>& loadedTexture) {
  GpuGeometry& g = *set.newGeometry();
  g.bindShapeMatrix = TransposeMatrix(geometry.bindShapeMatrix);
  g.vertices.assign(static_cast<std::size_t>(geometry.vertexCount > 0 ? geometry.vertexCount : 0),
                    ModelVertex{});
  // The box starts as the single point at the origin.
  float mn[3] = {0, 0, 0};
  float mx[3] = {0, 0, 0};

  for (const auto& list : geometry.polygonLists) {
    std::vector<const FloatArray*> uvArrays;
    for (const auto& texId : list->texIds) {
      // An id naming no array has nothing to add.
      if (const FloatArray* a = geometry.findFloatArray(texId)) uvArrays.push_back(a);
    }
    const FloatArray* positions = geometry.findFloatArray(list->vertexId);
    const FloatArray* normals = geometry.findFloatArray(list->normalId);
    const FloatArray* colors = geometry.findFloatArray(list->colorId);

    GpuMaterial material;
    if (const Material* m = model.findMaterial(list->materialId)) {
      std::memcpy(material.diffuse, m->diffuse, sizeof material.diffuse);
      std::memcpy(material.ambient, m->ambient, sizeof material.ambient);
      std::memcpy(material.emission, m->emission, sizeof material.emission);
      std::memcpy(material.specular, m->specular, sizeof material.specular);
      for (std::size_t t = 0; t < model.textures.size(); ++t) {
        if (!text::sameName(model.textures[t]->id, m->textureName)) continue;
        int64_t loaded = loadedTexture[t];
        if (loaded >= 0) {
          material.texture = *set.textures.at(loaded);
          material.textureSlot = static_cast<int32_t>(*set.textureSlots.at(loaded));
        }
        break;
      }
    }
    g.materials.push_back(material);

    std::vector<uint32_t> indices(list->vertexIndices.size());
    for (std::size_t k = 0; k < list->vertexIndices.size(); ++k) {
      int32_t p = list->vertexIndices[k];
      ModelVertex v{};
      if (positions) copyElement(v.position, 3, *positions, p);
      if (normals) copyElement(v.normal, 3, *normals, list->normalIndices[k]);
      if (colors) copyElement(v.color, 4, *colors, list->colorIndices[k]);
      for (const FloatArray* uv : uvArrays) {
        float t[2] = {0, 0};
        copyElement(t, 2, *uv, list->texIndices[k]);
        v.texCoord[0] += t[0];
        v.texCoord[1] += t[1];
      }
      if (geometry.weights.created) {
        for (int s = 0; s < WeightTable::kInfluences; ++s) {
          BoneWeight w = geometry.weights.at(p, s);
          // The per-object block holds 32 skinning matrices; a later bone cannot be reached.
          if (w.boneIndex >= static_cast<float>(kMaxSkinMatrices)) w = BoneWeight{};
          v.bones[s] = w;
        }
      }
      for (int i = 0; i < 3; ++i) {
        if (v.position[i] < mn[i]) mn[i] = v.position[i];
        if (v.position[i] > mx[i]) mx[i] = v.position[i];
      }
      g.vertices[static_cast<std::size_t>(p)] = v;
      indices[k] = static_cast<uint32_t>(p);
    }
    setBox(g, mn, mx);
    g.indexCounts.push_back(static_cast<int32_t>(indices.size()));
    g.indexLists.push_back(std::move(indices));
  }
  set.geometries.append(&g);
}

void fillBone(MeshBone& mb, const Bone& bone) {
  mb.id = bone.id;
  mb.name = bone.name;
  mb.jointMatrix = TransposeMatrix(bone.jointMatrix);
  mb.invBindMatrix = TransposeMatrix(bone.invBindMatrix);
  mb.localPose = kIdentityMatrix;
  mb.skinMatrix = kIdentityMatrix;
  mb.type = bone.type;
}

MeshBone* findBone(const MeshSet& set, const std::u16string& id) {
  for (int64_t i = 0; i < set.bones.count(); ++i) {
    MeshBone* b = *set.bones.at(i);
    if (text::sameName(b->id, id)) return b;
  }
  return nullptr;
}

// Copies the tree under each root, looking every bone up by id. A bone whose id names a
// MeshBone already placed in the tree (two bones sharing an id, as COLLADA nodes without an id
// all do) gets a MeshBone of its own with its whole subtree: linking the placed one again would
// make a loop. The walk keeps its own stack so that a deep chain cannot exhaust the thread's.
void buildBoneTree(MeshSet& set, const ModelData& model) {
  std::unordered_set<const MeshBone*> placed;
  auto isPlaced = [&](const MeshBone* b) { return placed.count(b) != 0; };
  // The readers build trees, but a model linked by hand may reach one bone twice; walking it
  // again could go round for ever.
  std::unordered_set<const Bone*> walked;
  struct Pending {
    const Bone* bone;
    MeshBone* parent;
  };
  for (const Bone* root : model.rootBones) {
    if (!walked.insert(root).second) continue;
    MeshBone* mr = findBone(set, root->id);
    if (mr == nullptr || isPlaced(mr)) mr = set.newBone();
    fillBone(*mr, *root);
    placed.insert(mr);
    set.rootBones.append(mr);
    set.treeOrder.push_back(mr);
    // Depth first, children in order, so treeOrder is the order of a recursive walk.
    std::vector<Pending> stack;
    for (auto it = root->children.rbegin(); it != root->children.rend(); ++it) {
      stack.push_back({*it, mr});
    }
    while (!stack.empty()) {
      Pending next = stack.back();
      stack.pop_back();
      if (!walked.insert(next.bone).second) continue;
      MeshBone* mb = findBone(set, next.bone->id);
      if (mb == nullptr || isPlaced(mb)) mb = set.newBone();
      fillBone(*mb, *next.bone);
      placed.insert(mb);
      mb->parent = next.parent;
      next.parent->children.append(mb);
      set.treeOrder.push_back(mb);
      for (auto it = next.bone->children.rbegin(); it != next.bone->children.rend(); ++it) {
        stack.push_back({*it, mb});
      }
    }
  }
}

}  // namespace

bool BuildMeshSet(MeshSet& set, const ModelData* model, uint8_t animated, std::string* error,
                  const TextureLoader& loadTexture) {
  if (model == nullptr) {
    if (error) *error = "no model";
    return false;
  }
  if (!validateModel(*model, error)) return false;
  set.animated = animated;

  // Position in `textures` of each model texture that loaded, -1 for one that did not.
  std::vector<int64_t> loadedTexture(model->textures.size(), -1);
  for (std::size_t t = 0; t < model->textures.size(); ++t) {
    void* resource = nullptr;
    int64_t slot = -1;
    if (loadTexture && loadTexture(text::portablePath(model->textures[t]->fileName), resource, slot)) {
      loadedTexture[t] = set.textures.count();
      set.textures.append(resource);
      set.textureSlots.append(slot);
    }
  }

  set.name = model->modelId;
  for (const auto& geometry : model->geometries) buildGeometry(set, *model, *geometry, loadedTexture);
  CopyBones(set, *model);
  BuildAnimationTracks(set, *model);
  return true;
}

void CopyBones(MeshSet& set, const ModelData& model) {
  for (const Bone* bone : model.bones) {
    MeshBone* mb = set.newBone();
    fillBone(*mb, *bone);
    set.bones.append(mb);
  }
  buildBoneTree(set, model);
}

void BuildAnimationTracks(MeshSet& set, const ModelData& model) {
  for (const auto& animationSet : model.animations) AppendAnimation(set, *animationSet);
}

void AppendAnimation(MeshSet& set, const AnimationSet& animationSet) {
  MeshAnimation* animation = set.newAnimation();
  animation->name = animationSet.id;
  for (const auto& track : animationSet.tracks) {
    auto copy = std::make_unique<MeshBoneTrack>();
    copy->target = track->target;
    copy->bone = findBone(set, track->target);
    copy->keyTimes = track->keyTimes;
    copy->poses.reserve(track->poses.size());
    for (const Matrix4& pose : track->poses) copy->poses.push_back(TransposeMatrix(pose));
    animation->tracks.append(copy.get());
    animation->store.push_back(std::move(copy));
  }
  set.animations.append(animation);
}

void SetPlacement(MeshSet& set, const Matrix4& placement) {
  set.placement = placement;
  Matrix4 linear = set.placement;
  linear[12] = linear[13] = linear[14] = 0;
  Matrix4 inverse;
  float determinant[4];
  MatrixInverse(inverse, determinant, linear);
  bool usable = std::isfinite(determinant[0]) && std::fabs(determinant[0]) > 1e-30f;
  for (float v : inverse) usable = usable && std::isfinite(v);
  set.placementNormal = usable ? TransposeMatrix(inverse) : kIdentityMatrix;
}

void WriteObjectConstants(const MeshSet& set, const GpuGeometry& geometry,
                          float block[kObjectConstantFloats]) {
  auto putMatrix = [&](std::size_t at, const Matrix4& m) {
    Matrix4 t = TransposeMatrix(m);
    std::memcpy(block + at, t.data(), sizeof t);
  };
  std::memcpy(block, set.parameterVector, sizeof set.parameterVector);
  // The geometry holds its bind-shape matrix transposed already.
  putMatrix(4, geometry.bindShapeMatrix);
  putMatrix(20, set.worldMatrix);
  putMatrix(36, set.normalMatrix);
  int64_t n = set.bones.count() < kMaxSkinMatrices ? set.bones.count() : kMaxSkinMatrices;
  for (int64_t i = 0; i < n; ++i) putMatrix(52 + static_cast<std::size_t>(i) * 16, (*set.bones.at(i))->skinMatrix);
}
