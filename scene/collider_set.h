// ColliderSet: the collision shapes of one model, read from the collider file (.cdr) that the
// model names, then bound to the model's mesh, transformed and queried for the ground.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "model/matrix4.h"
#include "model/model_data.h"

class MeshSet;

// One corner of a collider, also the vertex layout of the collider GPU buffers (88 bytes).
struct ColliderVertex {
  float position[3] = {};
  float normal[3] = {};
  BoneWeight influences[WeightTable::kInfluences] = {};
};
static_assert(sizeof(ColliderVertex) == 88);

enum ColliderType : int32_t {
  kColliderNone = 0,
  kColliderSphere = 1,
  kColliderBox = 2,
  kColliderCapsule = 3,
  kColliderRect = 4,
  kColliderMesh = 5,
};

struct ColliderPolygon {
  std::u16string vertexId;  // FloatArray of positions
  std::u16string normalId;
  std::vector<int32_t> vertexIndices;  // every three corners form a triangle
  std::vector<int32_t> normalIndices;
  int32_t cornerCounter = 0;  // corners built from this list
};

struct Collider {
  std::u16string id;
  Matrix4 bindShapeMatrix = kIdentityMatrix;
  int32_t vertexCount = 0;  // stored only
  std::vector<ColliderVertex> sourceVertices;  // cornerCount corners in model space
  std::vector<ColliderVertex> worldVertices;   // after the last transform
  std::vector<std::unique_ptr<FloatArray>> floatArrays;
  std::vector<std::unique_ptr<ColliderPolygon>> polygonLists;
  WeightTable weights;
  ColliderVertex referencePoints[2] = {};       // model space
  ColliderVertex worldReferencePoints[2] = {};  // after the last transform
  int32_t weightCount = 0;
  int32_t colliderType = kColliderNone;
  int32_t cornerCount = 0;  // sum of the VERTEX_INDEX_COUNT values
  float radius = 0;
};

struct ColliderSet {
  std::u16string modelId;
  const MeshSet* meshSet = nullptr;  // set when the colliders are built
  std::vector<std::unique_ptr<Collider>> colliders;
  float boundsCenter[3] = {};
  float boundsMax[3] = {};
  float boundsMin[3] = {};
  float boundsRadius = 0;
  bool transformed = false;
};

// Reads the collider file `path` (relative to the current directory) into `set`, which is
// empty. Returns false, leaving the set without colliders, when the file cannot be opened.
bool ReadColliderFile(ColliderSet& set, const std::filesystem::path& path);
