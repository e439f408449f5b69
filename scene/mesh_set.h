// MeshSet: the drawable form of one ModelData, computed on the CPU. The build turns every
// geometry into one array of ModelVertex records and one index list per polygon list with its
// material, measures the geometry's box, copies the bone tree into MeshBones and binds the
// model's animations. The render device uploads what the build computed; nothing here touches
// a GPU, so the whole build runs in tests. The pose state (clock, selected animation, matrices)
// is evaluated by the skeletal animation in scene/.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/grow_array.h"
#include "model/matrix4.h"
#include "model/model_data.h"

// One vertex of the vertex buffers (input layout 1 of the pipelines), byte-exact.
struct ModelVertex {
  float position[3];
  float normal[3];
  float color[4];
  float texCoord[2];
  BoneWeight bones[WeightTable::kInfluences];  // (bone index, weight) pairs
};
static_assert(sizeof(ModelVertex) == 112);
static_assert(offsetof(ModelVertex, position) == 0);
static_assert(offsetof(ModelVertex, normal) == 12);
static_assert(offsetof(ModelVertex, color) == 24);
static_assert(offsetof(ModelVertex, texCoord) == 40);
static_assert(offsetof(ModelVertex, bones) == 48);
static_assert(sizeof(BoneWeight) == 8);

// The material of one submesh.
struct GpuMaterial {
  float diffuse[4] = {};
  float ambient[4] = {};
  float emission[4] = {};
  float specular[4] = {};
  void* texture = nullptr;   // the loaded texture, null when none
  int32_t textureSlot = -1;  // its shader-resource slot, -1 when none
};

// One model geometry: its vertices and, per submesh, indices and material.
struct GpuGeometry {
  std::vector<ModelVertex> vertices;                 // vertexCount records, slot = position index
  std::vector<std::vector<uint32_t>> indexLists;     // one per submesh
  std::vector<GpuMaterial> materials;                // one per submesh
  std::vector<int32_t> indexCounts;                  // one per submesh
  Matrix4 bindShapeMatrix = kIdentityMatrix;         // transposed from the model's
  float boxCorners[8][4] = {};
  float boxCenter[3] = {};
  float boxRadius = 0;
};

struct MeshBone {
  std::u16string id;    // animation tracks bind to it
  std::u16string name;
  Matrix4 jointMatrix = kIdentityMatrix;    // rest-pose local transform (transposed)
  Matrix4 invBindMatrix = kIdentityMatrix;  // transposed
  Matrix4 localPose = kIdentityMatrix;      // this frame's local transform
  Matrix4 blendStart = {};                  // pose a cross-fade starts from
  Matrix4 skinMatrix = kIdentityMatrix;     // applied to the vertices weighted to the bone
  GrowArray<MeshBone*> children;
  MeshBone* parent = nullptr;  // null for a root
  int32_t type = 0;
  uint8_t blending = 0;  // 1 while a cross-fade runs
  int32_t blendLength = 0;
  int32_t blendFrame = 0;
};

// A MeshSet's copy of one animated bone's keys, bound to its MeshBone.
struct MeshBoneTrack {
  std::u16string target;     // id of the animated bone
  MeshBone* bone = nullptr;  // first MeshBone of `bones` with that id; null: never applied
  std::vector<float> keyTimes;
  std::vector<Matrix4> poses;  // one per key, transposed to row vectors
};

struct MeshAnimation {
  std::u16string name;  // the AnimationSet id ("WALK")
  GrowArray<MeshBoneTrack*> tracks;
  std::vector<std::unique_ptr<MeshBoneTrack>> store;  // owns what `tracks` lists
};

// Loads one texture image (path as the model stores it) for the build. Returns true with the
// loaded resource and its shader-resource slot, false when the image could not be loaded.
using TextureLoader =
    std::function<bool(const std::u16string& fileName, void*& resource, int64_t& slot)>;

class MeshSet {
 public:
  MeshSet() = default;
  MeshSet(const MeshSet&) = delete;
  MeshSet& operator=(const MeshSet&) = delete;

  std::u16string name;  // the model's modelId
  uint8_t borrowed = 0;
  uint8_t animated = 1;  // 0: the pose computes only the two matrices
  float materialFactor = 1.0f;
  Matrix4 worldMatrix = kIdentityMatrix;
  Matrix4 normalMatrix = kIdentityMatrix;
  // Applied after scale, rotation and position: where a model's scene places this object. The
  // normal matrix takes its inverse transpose (`placementNormal`).
  Matrix4 placement = kIdentityMatrix;
  Matrix4 placementNormal = kIdentityMatrix;
  float scale[4] = {1, 1, 1, 1};  // the fourth value scales collider radii
  float rotation[4] = {0, 0, 0, 1};  // degrees about x, y, z
  float position[4] = {0, 0, 0, 1};
  float parameterVector[4] = {};

  // Animation state. The input thread switches animations while the frame thread evaluates
  // poses: `animationIndex`, `speed` and the bones' cross-fade fields are only touched with
  // `poseMutex` held, and the clock, which both threads may reset, is atomic.
  std::mutex poseMutex;
  int32_t animationIndex = 0;
  float speed = 1.0f;
  std::atomic<int64_t> clock{0};

  GrowArray<GpuGeometry*> geometries;
  GrowArray<void*> textures;         // the textures that loaded, in model order
  GrowArray<int64_t> textureSlots;   // their slots, same order
  GrowArray<MeshBone*> rootBones;
  GrowArray<MeshBone*> bones;        // model bone order: the skinning matrix order
  GrowArray<MeshAnimation*> animations;

  // Every bone of the tree under rootBones, parents before children, roots in order: the
  // order in which the pose resets and composes the skinning matrices.
  std::vector<MeshBone*> treeOrder;

  MeshBone* newBone();
  MeshAnimation* newAnimation();
  GpuGeometry* newGeometry();

 private:
  std::vector<std::unique_ptr<MeshBone>> boneStore_;
  std::vector<std::unique_ptr<MeshAnimation>> animationStore_;
  std::vector<std::unique_ptr<GpuGeometry>> geometryStore_;
};

// Builds `set` from `model`: textures through `loadTexture` (none load without one), vertex
// and index arrays, materials, boxes, the bones in the model's order with their tree, and the
// model's animations. `animated` is stored for the pose. Returns false, with nothing built,
// when `model` is null or names data outside its arrays (a position index at or beyond the
// geometry's vertex or weight count, an index past a float array's end or past its index
// list); `error` then says which.
bool BuildMeshSet(MeshSet& set, const ModelData* model, uint8_t animated, std::string* error,
                  const TextureLoader& loadTexture = {});

// Appends every AnimationSet of `model` to `set.animations` as a new MeshAnimation: tracks
// bound to the first bone of `set.bones` with the target id (or to none), key times copied,
// poses transposed. Each call appends them all again.
void BuildAnimationTracks(MeshSet& set, const ModelData& model);
// Appends one AnimationSet as BuildAnimationTracks does for each.
void AppendAnimation(MeshSet& set, const AnimationSet& animationSet);

// The bones of `model` in its order, then their tree, as BuildMeshSet copies them.
void CopyBones(MeshSet& set, const ModelData& model);

// Sets `placement` and `placementNormal`, the inverse transpose of its linear part, so that
// normals stay perpendicular under any scale or shear; a singular placement leaves normals as
// they are.
void SetPlacement(MeshSet& set, const Matrix4& placement);

// The per-object constant block of one geometry's draws.
inline constexpr int kMaxSkinMatrices = 32;
inline constexpr std::size_t kObjectConstantBytes = 2256;
inline constexpr std::size_t kObjectConstantFloats = kObjectConstantBytes / sizeof(float);

// Writes the parameter vector, the geometry's bind-shape matrix, the world and normal matrices
// and the skinning matrices of the first kMaxSkinMatrices bones into `block`, every matrix
// transposed (column by column). A model with more bones is skinned by its first 32 only; the
// build drops vertex influences naming later bones. Floats past the last bone are left alone.
void WriteObjectConstants(const MeshSet& set, const GpuGeometry& geometry,
                          float block[kObjectConstantFloats]);
