// ModelData: the in-memory form of one model (materials, textures, geometries with their float
// arrays, triangle lists and bone weights, the bone tree and its animations), filled by the
// .mdl reader or the COLLADA importer and extended by the .ani reader, and the scene that
// places its geometries where a COLLADA document has one. It owns every record; the bone lists
// and parent/child links refer to bones it owns.
//
// Names, ids and paths are UTF-16 strings of at most text::kMaxNameUnits units; every lookup
// compares them exactly and case-sensitively and takes the first match in list order.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "model/matrix4.h"

struct Material {
  float diffuse[4] = {};   // red, green, blue, alpha
  float ambient[4] = {};
  float emission[4] = {};  // keyword "EMMITION"
  float specular[4] = {};
  std::u16string name;         // PolygonData::materialId refers to it
  std::u16string textureName;  // Texture::id, empty for none
};

struct Texture {
  std::u16string id;        // Material::textureName refers to it
  std::u16string fileName;  // image path relative to the model's folder
};

// A vertex data source: positions, normals, colours and texture coordinates alike, told apart
// only by the ids that a PolygonData names.
struct FloatArray {
  std::u16string id;
  // Tuple size k as the file gave it; meaningful only when hasValues.
  int32_t tupleSize = 0;
  // The value list exists (the file's float line was read).
  bool hasValues = false;
  // The values, flat. Elements hold k floats for k = 2, 3, 4 and one float for any other k.
  std::vector<float> values;
  // Elements the file announced beyond those its line held: they read as zeros and take no
  // memory, so a huge count in a short file costs nothing.
  int64_t zeroElements = 0;

  int32_t elementFloats() const { return tupleSize >= 2 && tupleSize <= 4 ? tupleSize : 1; }
  // Number of elements (tuples for k = 2, 3, 4).
  int64_t count() const { return storedCount() + zeroElements; }
  // Element `index`, or null outside 0 <= index < count().
  const float* at(int64_t index) const {
    static constexpr float kZeros[4] = {};
    if (index < 0 || index >= count()) return nullptr;
    if (index >= storedCount()) return kZeros;
    return values.data() + index * elementFloats();
  }

 private:
  int64_t storedCount() const { return static_cast<int64_t>(values.size()) / elementFloats(); }
};

// One list of triangles: one index per corner into each source.
struct PolygonData {
  std::u16string materialId;  // Material::name
  std::u16string vertexId;    // FloatArray of positions
  std::u16string normalId;
  std::u16string colorId;
  std::vector<int32_t> vertexIndices;
  std::vector<int32_t> normalIndices;
  std::vector<int32_t> texIndices;
  std::vector<int32_t> colorIndices;
  std::vector<std::u16string> texIds;  // FloatArrays of texture coordinates
};

struct BoneWeight {
  float boneIndex = 0;  // position in ModelData::bones, held as a float
  float weight = 0;
};

// Per-vertex bone influences: `rows` rows of eight (boneIndex, weight) entries. Only the
// leading rows that hold data are stored; every later row reads as zeros, so a huge row count
// in a file costs no memory.
struct WeightTable {
  static constexpr int kInfluences = 8;

  bool created = false;  // a reader made the table (false: "null")
  int64_t rows = 0;
  std::vector<BoneWeight> stored;  // kInfluences entries per stored row

  // Influence `slot` (0..7) of `row`; zeros outside the stored rows.
  BoneWeight at(int64_t row, int slot) const {
    if (row < 0 || row >= rows || slot < 0 || slot >= kInfluences) return {};
    std::size_t i = static_cast<std::size_t>(row) * kInfluences + static_cast<std::size_t>(slot);
    return i < stored.size() ? stored[i] : BoneWeight{};
  }
};

struct Geometry {
  std::u16string id;
  Matrix4 bindShapeMatrix = kIdentityMatrix;
  int32_t vertexCount = 0;
  std::vector<std::unique_ptr<FloatArray>> floatArrays;
  std::vector<std::unique_ptr<PolygonData>> polygonLists;
  WeightTable weights;
  int32_t weightCount = 0;

  const FloatArray* findFloatArray(std::u16string_view arrayId) const;
};

struct Bone {
  std::u16string id;    // animation tracks address bones by id
  std::u16string name;  // the bone tree and the bone list use the name
  Matrix4 jointMatrix = kIdentityMatrix;
  Matrix4 invBindMatrix = kIdentityMatrix;
  std::vector<Bone*> children;  // in file order
  Bone* parent = nullptr;       // null for a root
  int32_t type = 0;
};

// One animated bone: a key time and a pose per key.
struct BoneTrack {
  std::u16string target;  // id of the animated bone
  Bone* bone = nullptr;   // the bone of ModelData::bones with that id, or null
  std::vector<float> keyTimes;
  std::vector<Matrix4> poses;
};

struct AnimationSet {
  std::u16string id;
  std::vector<std::unique_ptr<BoneTrack>> tracks;
};

// ---- The scene: how a COLLADA document's visual scene places the geometries (instances with
// world matrices and bound materials, the up axis and unit, the animated nodes' tracks). Read
// beside the records above and changing none of them; the model view draws from it. Matrices
// are held as every matrix here: as the file writes them, 16 floats row by row for column
// vectors (translation in the last column); transposed, they are Matrix4's row-vector form.
// Positions are in the viewer's Z-up frame and in the document's units.

// One triangle list of a geometry as the scene reads it: either one of the geometry's own
// polygon lists or a list only the scene reads (polygons, fans, strips, ...).
struct ScenePrimitive {
  const PolygonData* triangles = nullptr;  // never null; `materialId` holds the symbol
};

// Every triangle primitive of one geometry, in document order.
struct SceneGeometry {
  std::vector<ScenePrimitive> primitives;
  std::vector<std::unique_ptr<PolygonData>> ownLists;  // those `primitives` alone refer to
  // Inputs that the vertices element lists beside the positions, indexed like them: the ids of
  // their float arrays, empty for none.
  std::u16string vertexNormalId, vertexColorId, vertexTexId;
  // Four-component sources (RGBA colours), which the geometry's record keeps without values.
  std::vector<std::unique_ptr<FloatArray>> ownArrays;

  // The float array `id` of these or of `geometry`'s own, or null.
  const FloatArray* findArray(const Geometry& geometry, std::u16string_view id) const;
};

// One placement of a geometry. Names are kept once in the scene's lists and referred to by
// position: a node that instance_node places again and again gives many instances the same
// node id and materials, and a record without strings of its own is written without
// allocating.
struct SceneInstance {
  int32_t node = -1;       // in ModelScene::nodeIds: the node that holds the instance (-1: none)
  int32_t geometry = -1;   // position in ModelData::geometries and ModelScene::geometries
  // In ModelScene::nameLists, -1 for none: per primitive of the geometry the Material::name it
  // draws with (empty: none); skinned only, per joint of the skin the id of the node that
  // drives it (empty: not found).
  int32_t materials = -1;
  int32_t joints = -1;
  bool skinned = false;    // through a controller: drawn at its bind shape, moved by `joints`
  Matrix4 world = kIdentityMatrix;  // node to the Z-up scene frame
  // Where the scene keeps its node tree (ModelScene::placedNodes): the placement of the node
  // that holds the instance; skinned only, the skin's inverse bind matrices (in
  // ModelScene::skins) and per joint its node's placement (in ModelScene::placementLists, -1:
  // not found). -1 where there is no tree.
  int32_t placed = -1;
  int32_t skin = -1;
  int32_t jointPlacements = -1;
};

// One placement of a visual scene node in the tree that animated and skinned documents keep:
// a node placed again by instance_node is placed once more.
struct ScenePlacedNode {
  int32_t parent = -1;  // in ModelScene::placedNodes, parents first; -1 for the tree's root
  int32_t node = -1;    // in ModelScene::nodeIds; -1 for the root
  Matrix4 world = kIdentityMatrix;  // as SceneInstance::world
};

// What a material's effect says beyond the diffuse colour and texture of its record: the
// other Phong colours, and the diffuse texture's image where the record found none because
// the effect names the image itself rather than a sampler.
struct SceneMaterial {
  std::u16string name;  // Material::name
  float ambient[4] = {0, 0, 0, 1}, specular[4] = {0, 0, 0, 1}, emission[4] = {0, 0, 0, 1};
  float shininess = 0;
  std::u16string textureId;  // Texture::id, empty when the record's own textureName stands
};

// A skin's inverse bind matrices, one per joint, as the file writes them.
struct SceneSkin {
  std::vector<Matrix4> inverseBinds;
};

// An image as the scene resolves its path.
struct SceneImage {
  std::u16string textureId;  // Texture::id
  std::string written;       // the URI as the document gives it
  std::string path;          // resolved: relative to the current directory, or absolute
};

struct ModelScene {
  std::string upAxis = "Z_UP";  // as the document states it ("X_UP", "Y_UP", "Z_UP")
  double unitMeter = 1.0;       // metres per document unit
  int64_t nodes = 0;            // nodes placed, instanced ones counted each time
  std::vector<SceneGeometry> geometries;  // parallel to ModelData::geometries
  std::vector<SceneInstance> instances;
  std::vector<std::u16string> nodeIds;                  // SceneInstance::node
  std::vector<std::vector<std::u16string>> nameLists;  // SceneInstance::materials and joints
  std::vector<SceneImage> images;
  std::vector<SceneMaterial> materials;  // one per material of the model, in its order
  // Tracks of animated nodes' local matrices (target: the node id), one set per clip, then
  // "ColladaAnim_001" for the animations in no clip.
  std::vector<std::unique_ptr<AnimationSet>> animations;
  // The node tree, kept when the document has controllers or animations, whose joints and
  // animated nodes move what lies under them: every placement of a node, parents first; the
  // first is the root, which turns the document's up axis to Z (its world).
  std::vector<ScenePlacedNode> placedNodes;
  std::vector<SceneSkin> skins;
  std::vector<std::vector<int32_t>> placementLists;  // SceneInstance::jointPlacements

  const std::u16string& nodeIdOf(const SceneInstance& instance) const;  // empty for none
  std::span<const std::u16string> materialsOf(const SceneInstance& instance) const;
  std::span<const std::u16string> jointsOf(const SceneInstance& instance) const;
  // The position of a new entry of nodeIds or nameLists.
  int32_t addNodeId(std::u16string id);
  int32_t addNameList(std::vector<std::u16string> names);
};

struct ModelData {
  std::u16string modelId;
  std::u16string colliderFilePath;  // relative to the model's folder; empty when none
  std::vector<std::unique_ptr<Geometry>> geometries;
  std::vector<std::unique_ptr<Material>> materials;
  std::vector<std::unique_ptr<Texture>> textures;
  std::vector<Bone*> rootBones;  // top bone of each tree, in file order
  std::vector<Bone*> bones;      // position is the bone index
  std::vector<std::unique_ptr<AnimationSet>> animations;
  // How a COLLADA document places the geometries; null for a model without a scene of its own.
  std::unique_ptr<ModelScene> scene;

  ModelData() = default;
  ModelData(const ModelData&) = delete;
  ModelData& operator=(const ModelData&) = delete;

  // A new bone owned by this model, in no list yet.
  Bone* newBone();
  // Every bone made, in a list or not: a COLLADA import makes one per visual scene node.
  std::size_t boneCount() const { return boneStore_.size(); }

  Bone* findBoneByName(std::u16string_view name) const;
  Bone* findBoneById(std::u16string_view id) const;
  Material* findMaterial(std::u16string_view name) const;
  Texture* findTexture(std::u16string_view id) const;

 private:
  std::vector<std::unique_ptr<Bone>> boneStore_;  // every bone, each owned once
};
