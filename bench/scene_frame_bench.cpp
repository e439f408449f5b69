// Cost of one frame's scene steps (UpdateObjects, AdvanceAnimationClocks, UpdatePoses,
// LateUpdateObjects) for the start-up scene's shape: a walking skeleton of 30 bones with two
// animations and sphere colliders, and the 7 x 7 field of static tiles with mesh colliders.
// The baseline is the skeleton's pose alone, measured in the same run.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <memory>

#include "scene/camera.h"
#include "scene/colliders.h"
#include "scene/mesh_set.h"
#include "scene/scene.h"
#include "scene/skeletal_animation.h"
#include "tools/field_content.h"

namespace {

constexpr int kBones = 30;
constexpr int kKeys = 24;

// 30 bones in a binary tree, every one animated by "WALK" and "STAND" with 24 keys.
std::unique_ptr<ModelData> skeletonModel() {
  auto model = std::make_unique<ModelData>();
  model->modelId = u"SKELTON";
  for (int i = 0; i < kBones; ++i) {
    Bone* b = model->newBone();
    b->id = u"bone" + std::u16string(1, static_cast<char16_t>(u'A' + i));
    b->name = b->id;
    b->jointMatrix[3] = 0.1f * static_cast<float>(i % 3);  // file order: column translation
    b->jointMatrix[11] = 0.3f;
    b->invBindMatrix[11] = -0.3f * static_cast<float>(i);
    if (i == 0) {
      model->rootBones.push_back(b);
    } else {
      b->parent = model->bones[static_cast<std::size_t>((i - 1) / 2)];
      b->parent->children.push_back(b);
    }
    model->bones.push_back(b);
  }
  const float cycles[2] = {12.0f, 14.4f};
  const char16_t* names[2] = {u"WALK", u"STAND"};
  for (int a = 0; a < 2; ++a) {
    auto set = std::make_unique<AnimationSet>();
    set->id = names[a];
    for (Bone* b : model->bones) {
      auto track = std::make_unique<BoneTrack>();
      track->target = b->id;
      for (int k = 0; k <= kKeys; ++k) {
        float t = cycles[a] * static_cast<float>(k) / kKeys;
        float angle = 0.3f * std::sin(6.2831853f * static_cast<float>(k) / kKeys);
        Matrix4 pose = b->jointMatrix;
        pose[0] = pose[5] = std::cos(angle);
        pose[1] = -std::sin(angle);
        pose[4] = std::sin(angle);
        track->keyTimes.push_back(t);
        track->poses.push_back(pose);
      }
      set->tracks.push_back(std::move(track));
    }
    model->animations.push_back(std::move(set));
  }
  return model;
}

// One sphere collider on each of ten bones.
std::unique_ptr<ColliderSet> skeletonColliders() {
  auto set = std::make_unique<ColliderSet>();
  for (int i = 0; i < 10; ++i) {
    set->colliders.push_back(std::make_unique<Collider>());
    Collider& c = *set->colliders.back();
    c.colliderType = kColliderSphere;
    c.radius = 0.5f;
    c.floatArrays.push_back(std::make_unique<FloatArray>());
    c.floatArrays[0]->tupleSize = 3;
    c.floatArrays[0]->hasValues = true;
    c.floatArrays[0]->values = {0, 0, 0.3f * static_cast<float>(i)};
    c.weights.created = true;
    c.weights.rows = 1;
    c.weights.stored.assign(WeightTable::kInfluences, BoneWeight{});
    c.weights.stored[0] = {static_cast<float>(i * 3 + 1) + 0.00001f, 1.0f};
  }
  return set;
}

struct Field {
  Scene scene;
  Camera camera;
  CSkelton skeleton{&scene, &camera};
  std::vector<std::unique_ptr<CCharacterBase>> tiles;

  Field() {
    auto model = skeletonModel();
    auto mesh = std::make_unique<MeshSet>();
    BuildMeshSet(*mesh, model.get(), 1, nullptr);
    auto colliders = skeletonColliders();
    BuildColliders(*colliders, mesh.get());
    UpdatePose(*mesh);
    TransformColliders(*colliders);
    skeleton.Adopt(u"SKELTON", std::move(model), std::move(mesh), std::move(colliders));
    (*skeleton.animationNames.at(0))->push_back(u"WALK");
    (*skeleton.animationNames.at(0))->push_back(u"STAND");
    scene.firstList.append(&skeleton);
    scene.SetSkeletonScale(0.4f, 0.4f, 0.4f, 0.4f);
    skeleton.SetAnimation(u"STAND", 3.0f);

    for (int row = 1; row <= content::kFieldSize; ++row) {
      for (int column = 1; column <= content::kFieldSize; ++column) {
        auto tile = std::make_unique<CCharacterBase>(&scene, &camera);
        auto tileModel = content::makeTileModel(row, column);
        auto tileMesh = std::make_unique<MeshSet>();
        BuildMeshSet(*tileMesh, tileModel.get(), 0, nullptr);
        auto tileColliders = content::makeTileColliders(row, column);
        BuildColliders(*tileColliders, tileMesh.get());
        UpdatePose(*tileMesh);
        TransformColliders(*tileColliders);
        tile->Adopt(u"Field", std::move(tileModel), std::move(tileMesh), std::move(tileColliders));
        tile->SetScale(2000, 2000, 2000, 2000);
        scene.thirdList.append(tile.get());
        tiles.push_back(std::move(tile));
      }
    }
  }

  void frame() {
    scene.UpdateObjects();
    scene.AdvanceAnimationClocks(1);
    scene.UpdatePoses();
    scene.LateUpdateObjects();
    // Stay on the field: walk back to the centre after 500 units.
    const float* p = skeleton.meshSet->position;
    if (std::fabs(p[0]) > 500 || std::fabs(p[1]) > 500) skeleton.SetPosition(0, 0, p[2]);
  }
};

void BM_SceneFrameWalking(benchmark::State& state) {
  Field field;
  std::array<uint8_t, kKeyboardStateSize> keys{};
  keys[kKeyUp] = 0x80;
  keys[kKeyLeft] = 0x80;
  field.scene.DispatchKeyboard(keys.data());
  for (auto _ : state) {
    field.frame();
    // Turn a little every frame so the walk covers the field.
    if ((state.iterations() & 7) == 0) field.scene.DispatchKeyboard(keys.data());
  }
}
BENCHMARK(BM_SceneFrameWalking);

void BM_SceneFrameStanding(benchmark::State& state) {
  Field field;
  for (auto _ : state) field.frame();
}
BENCHMARK(BM_SceneFrameStanding);

// Baseline: the skeleton's pose (30 bones, one animation sampled) and nothing else.
void BM_BaselineSkeletonPose(benchmark::State& state) {
  Field field;
  MeshSet& mesh = *field.skeleton.meshSet;
  for (auto _ : state) {
    mesh.clock.fetch_add(1);
    UpdatePose(mesh);
    benchmark::DoNotOptimize(mesh.worldMatrix);
  }
}
BENCHMARK(BM_BaselineSkeletonPose);

void BM_QueryGroundHeight(benchmark::State& state) {
  Field field;
  // Points spread over the whole field, in tile model units.
  std::vector<std::array<float, 2>> points;
  for (int i = 0; i < 256; ++i) {
    float u = static_cast<float>((i * 37) % 256) / 256.0f - 0.5f;
    float v = static_cast<float>((i * 91) % 256) / 256.0f - 0.5f;
    points.push_back({u * 0.68f, v * 0.68f});
  }
  std::size_t i = 0;
  int64_t found = 0;
  for (auto _ : state) {
    float ground[4];
    const auto& p = points[i++ & 255];
    found += field.scene.QueryGroundHeight(p[0], p[1], ground) ? 1 : 0;
    benchmark::DoNotOptimize(ground);
  }
  state.counters["found"] = benchmark::Counter(static_cast<double>(found) /
                                               static_cast<double>(state.iterations()));
}
BENCHMARK(BM_QueryGroundHeight);

// Parts of the frame: the 49 tiles' poses (world matrices only) and the skeleton's own updates.
void BM_PartTilePoses(benchmark::State& state) {
  Field field;
  for (auto _ : state) {
    for (auto& tile : field.tiles) UpdatePose(*tile->meshSet);
  }
}
BENCHMARK(BM_PartTilePoses);

void BM_PartSkeletonUpdates(benchmark::State& state) {
  Field field;
  for (auto _ : state) {
    field.skeleton.Update();
    field.skeleton.LateUpdate();
  }
}
BENCHMARK(BM_PartSkeletonUpdates);

}  // namespace
