// ModelScene: how a model's geometries are placed, as a COLLADA document's visual scene places
// them (instances with world matrices and bound materials, the up axis and unit, the animated
// nodes' tracks). It is read beside the model's other records and changes none of them; the
// model view draws from it. Depends on model/ only.
//
// Matrices are held as ModelData holds every matrix: as the file writes them, 16 floats row by
// row for column vectors (translation in the last column); transposed, they are Matrix4's
// row-vector form. Positions are in the viewer's Z-up frame and in the document's units.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "model/matrix4.h"

struct AnimationSet;
struct ModelData;
struct PolygonData;

// One triangle list of a geometry as the scene reads it: either one of the geometry's own
// polygon lists or a list only the scene reads (polygons, fans, strips, ...).
struct ScenePrimitive {
  const PolygonData* triangles = nullptr;  // never null; `materialId` holds the symbol
};

// Every triangle primitive of one geometry, in document order.
struct SceneGeometry {
  std::vector<ScenePrimitive> primitives;
  std::vector<std::unique_ptr<PolygonData>> ownLists;  // those `primitives` alone refer to

  SceneGeometry();
  ~SceneGeometry();
  SceneGeometry(SceneGeometry&&) noexcept;
  SceneGeometry& operator=(SceneGeometry&&) noexcept;
};

struct SceneInstance {
  std::u16string nodeId;   // the node that holds the instance (empty: none)
  int32_t geometry = -1;   // position in ModelData::geometries and ModelScene::geometries
  bool skinned = false;    // through a controller: drawn at its bind shape, moved by `joints`
  Matrix4 world = kIdentityMatrix;  // node to the Z-up scene frame
  // Per primitive of the geometry: the Material::name it draws with (empty: none).
  std::vector<std::u16string> materials;
  // Skinned only: per joint of the skin, the id of the node that drives it (empty: not found).
  std::vector<std::u16string> joints;
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
  std::vector<SceneImage> images;
  // Tracks of animated nodes' local matrices (target: the node id), one set per clip, then
  // "ColladaAnim_001" for the animations in no clip.
  std::vector<std::unique_ptr<AnimationSet>> animations;

  ModelScene();
  ~ModelScene();
  ModelScene(ModelScene&&) noexcept;
  ModelScene& operator=(ModelScene&&) noexcept;
};

struct SceneBounds {
  bool empty = true;
  float min[3] = {};
  float max[3] = {};
};

// One instance of each geometry at identity, every list with its own material id: the scene
// of a model that has none of its own (a .mdl model).
std::unique_ptr<ModelScene> identityScene(const ModelData& model);

// The box of every vertex the scene's instances draw, each at its instance's world matrix (a
// skinned geometry at its bind shape first). Empty when nothing is drawn.
SceneBounds sceneBounds(const ModelData& model, const ModelScene& scene);
