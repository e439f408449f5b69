// Characters built in code for the scene tests: a skeleton with "WALK" and "STAND", and field
// tiles with a two-triangle mesh collider.
#pragma once

#include <initializer_list>
#include <memory>

#include "model/model_data.h"
#include "scene/character.h"
#include "scene/colliders.h"
#include "scene/mesh_set.h"
#include "scene/skeletal_animation.h"

namespace fixtures {

// One bone "hip"; "WALK" and "STAND" each move it, so a switch starts a cross-fade.
inline std::unique_ptr<ModelData> skeletonModel(bool withAnimations = true) {
  auto model = std::make_unique<ModelData>();
  model->modelId = u"SKELTON";
  Bone* hip = model->newBone();
  hip->id = u"hip";
  model->bones.push_back(hip);
  model->rootBones.push_back(hip);
  if (!withAnimations) return model;
  for (const char16_t* id : {u"WALK", u"STAND"}) {
    auto set = std::make_unique<AnimationSet>();
    set->id = id;
    auto track = std::make_unique<BoneTrack>();
    track->target = u"hip";
    track->keyTimes = {0, 1};
    Matrix4 lifted = kIdentityMatrix;
    lifted[11] = 1;
    track->poses = {kIdentityMatrix, lifted};
    set->tracks.push_back(std::move(track));
    model->animations.push_back(std::move(set));
  }
  return model;
}

// Gives `c` the skeleton model with both animation names registered, as start-up leaves it,
// or, without animations, as it is right after its Load.
// Builds the MeshSet and colliders of `model` as Load does, and hands all three to `c` under the
// name "SKELTON"; `animationNames` lists the model's animations in order.
inline void adoptAsSkeleton(CCharacterBase& c, std::unique_ptr<ModelData> model,
                            std::initializer_list<const char16_t*> animationNames) {
  auto mesh = std::make_unique<MeshSet>();
  BuildMeshSet(*mesh, model.get(), 1, nullptr);
  auto colliders = std::make_unique<ColliderSet>();
  BuildColliders(*colliders, mesh.get());
  UpdatePose(*mesh);
  TransformColliders(*colliders);
  c.Adopt(u"SKELTON", std::move(model), std::move(mesh), std::move(colliders));
  for (const char16_t* name : animationNames) (*c.animationNames.at(0))->push_back(name);
}

inline void adoptSkeleton(CCharacterBase& c, bool withAnimations = true) {
  if (withAnimations) {
    adoptAsSkeleton(c, skeletonModel(true), {u"WALK", u"STAND"});
  } else {
    adoptAsSkeleton(c, skeletonModel(false), {});
  }
}

// A tile of one model unit square at (x0, y0), rising along x by `slope`, as one mesh collider
// of two triangles sharing the diagonal.
inline void adoptTile(CCharacterBase& c, const char16_t* name, float x0, float y0, float slope) {
  auto model = std::make_unique<ModelData>();
  auto mesh = std::make_unique<MeshSet>();
  BuildMeshSet(*mesh, model.get(), 0, nullptr);
  auto colliders = std::make_unique<ColliderSet>();
  colliders->colliders.push_back(std::make_unique<Collider>());
  Collider& tile = *colliders->colliders.back();
  tile.colliderType = kColliderMesh;
  tile.floatArrays.push_back(std::make_unique<FloatArray>());
  FloatArray& pos = *tile.floatArrays.back();
  pos.id = u"pos";
  pos.tupleSize = 3;
  pos.hasValues = true;
  pos.values = {x0, y0, 0, x0 + 1, y0, slope, x0 + 1, y0 + 1, slope, x0, y0 + 1, 0};
  tile.polygonLists.push_back(std::make_unique<ColliderPolygon>());
  tile.polygonLists[0]->vertexId = u"pos";
  tile.polygonLists[0]->vertexIndices = {0, 1, 2, 0, 2, 3};
  tile.cornerCount = 6;
  BuildColliders(*colliders, mesh.get());
  UpdatePose(*mesh);
  TransformColliders(*colliders);
  c.Adopt(name, std::move(model), std::move(mesh), std::move(colliders));
  c.SetScale(2000, 2000, 2000, 2000);
}

}  // namespace fixtures
