#include "scene/skeletal_animation.h"

#include <gtest/gtest.h>

#include <string>

#include "model/matrix_math.h"
#include "model/model_data.h"
#include "scene/mesh_set.h"

namespace {

void expectNear(const Matrix4& a, const Matrix4& b, float tolerance = 1e-5f) {
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(a[i], b[i], tolerance) << "entry " << i;
}

Matrix4 filled(float v) {
  Matrix4 m;
  m.fill(v);
  return m;
}

// A file-order (column-vector) matrix moving by (x, y, z); transposed on binding.
Matrix4 fileTranslation(float x, float y, float z) {
  return {1, 0, 0, x, 0, 1, 0, y, 0, 0, 1, z, 0, 0, 0, 1};
}

// A two-bone chain "hip" -> "arm" with non-trivial rest and bind matrices.
Bone* addBone(ModelData& model, const char16_t* id, Bone* parent, const Matrix4& joint) {
  Bone* b = model.newBone();
  b->id = id;
  b->name = id;
  b->jointMatrix = joint;
  b->parent = parent;
  if (parent != nullptr) {
    parent->children.push_back(b);
  } else {
    model.rootBones.push_back(b);
  }
  model.bones.push_back(b);
  return b;
}

void addTrack(AnimationSet& set, const char16_t* target, std::vector<float> keys,
              std::vector<Matrix4> poses) {
  auto t = std::make_unique<BoneTrack>();
  t->target = target;
  t->keyTimes = std::move(keys);
  t->poses = std::move(poses);
  set.tracks.push_back(std::move(t));
}

AnimationSet& addAnimation(ModelData& model, const char16_t* id) {
  model.animations.push_back(std::make_unique<AnimationSet>());
  model.animations.back()->id = id;
  return *model.animations.back();
}

struct Rig {
  ModelData model;
  MeshSet set;
  MeshBone* hip = nullptr;
  MeshBone* arm = nullptr;

  explicit Rig(bool withAnimations) {
    Bone* hip = addBone(model, u"hip", nullptr, fileTranslation(0, 0, 1));
    addBone(model, u"arm", hip, fileTranslation(0.5f, 0, 0));
    hip->invBindMatrix = fileTranslation(0, 0, -1);
    model.bones[1]->invBindMatrix = fileTranslation(-0.5f, 0, -1);
    if (withAnimations) {
      // "STAND": hip only, keys 0 and 1. "WALK": both bones, one key each.
      addTrack(addAnimation(model, u"STAND"), u"hip", {0, 1}, {filled(0), filled(10)});
      AnimationSet& walk = addAnimation(model, u"WALK");
      addTrack(walk, u"hip", {1}, {filled(100)});
      addTrack(walk, u"arm", {1}, {filled(200)});
    }
    std::string error;
    EXPECT_TRUE(BuildMeshSet(set, &model, 1, &error)) << error;
    hip = nullptr;
    this->hip = *set.bones.at(0);
    this->arm = *set.bones.at(1);
  }
};

TEST(UpdatePose, BuildsTheWorldMatrixFromScaleRotationAndPosition) {
  MeshSet set;
  set.scale[0] = set.scale[1] = set.scale[2] = 2;
  set.rotation[2] = 90;
  set.position[0] = 10;
  UpdatePose(set);
  float p[4] = {1, 0, 0, 1};
  float r[4];
  TransformRow(r, p, set.worldMatrix);
  EXPECT_NEAR(r[0], 10, 1e-4f);
  EXPECT_NEAR(r[1], 2, 1e-4f);
  EXPECT_NEAR(r[2], 0, 1e-4f);
  // The normal matrix holds the rotation only.
  TransformRow(r, p, set.normalMatrix);
  EXPECT_NEAR(r[0], 0, 1e-4f);
  EXPECT_NEAR(r[1], 1, 1e-4f);
}

TEST(UpdatePose, UnanimatedSetsChangeOnlyTheTwoMatrices) {
  Rig rig(true);
  rig.set.animated = 0;
  rig.set.clock = 20;
  rig.hip->localPose = filled(3);
  rig.arm->skinMatrix = filled(4);
  rig.set.position[1] = 5;
  UpdatePose(rig.set);
  EXPECT_EQ(rig.set.worldMatrix[13], 5);
  EXPECT_EQ(rig.hip->localPose, filled(3));
  EXPECT_EQ(rig.arm->skinMatrix, filled(4));
  EXPECT_EQ(rig.set.clock, 20);
}

TEST(UpdatePose, RestPoseGivesIdentitySkinning) {
  Rig rig(false);
  // An animation whose tracks name no bone leaves every bone at rest.
  AnimationSet& idle = addAnimation(rig.model, u"IDLE");
  addTrack(idle, u"nobody", {1}, {filled(7)});
  BuildAnimationTracks(rig.set, rig.model);
  rig.hip->skinMatrix = filled(9);
  UpdatePose(rig.set);
  expectNear(rig.hip->localPose, rig.hip->jointMatrix, 0);
  expectNear(rig.hip->skinMatrix, kIdentityMatrix);
  expectNear(rig.arm->skinMatrix, kIdentityMatrix);
}

TEST(UpdatePose, ChildSkinComposesWithItsParent) {
  Rig rig(false);
  // Move the hip by one unit along y; the arm at rest follows its parent.
  AnimationSet& lift = addAnimation(rig.model, u"LIFT");
  addTrack(lift, u"hip", {1}, {fileTranslation(0, 1, 1)});
  BuildAnimationTracks(rig.set, rig.model);
  UpdatePose(rig.set);
  float p[4] = {0.5f, 0, 1, 1};
  float r[4];
  TransformRow(r, p, rig.arm->skinMatrix);
  EXPECT_NEAR(r[0], 0.5f, 1e-5f);
  EXPECT_NEAR(r[1], 1, 1e-5f);
  EXPECT_NEAR(r[2], 1, 1e-5f);
}

TEST(SampleTrack, InterpolatesWrapsAndRestartsTheClock) {
  MeshSet set;
  MeshBoneTrack track;
  track.keyTimes = {0, 1, 2};
  track.poses = {filled(0), filled(10), filled(30)};
  set.clock = 77;
  bool passed = true;
  EXPECT_EQ(SampleTrack(set, track, 0.5f, &passed), filled(5));
  EXPECT_FALSE(passed);
  EXPECT_EQ(SampleTrack(set, track, 1.5f), filled(20));
  // At the last key the time wraps to 0: pose 0.
  EXPECT_EQ(SampleTrack(set, track, 2.0f, &passed), filled(0));
  EXPECT_EQ(set.clock, 77);
  EXPECT_EQ(SampleTrack(set, track, 2.01f, &passed), filled(30));
  EXPECT_TRUE(passed);
  EXPECT_EQ(set.clock, 0);
}

TEST(SampleTrack, DegenerateTracks) {
  MeshSet set;
  MeshBoneTrack empty;
  EXPECT_EQ(SampleTrack(set, empty, 0.5f), kIdentityMatrix);
  // A last key below 0.0001 has no period to wrap at and must not divide by zero.
  MeshBoneTrack tiny;
  tiny.keyTimes = {0.00005f};
  tiny.poses = {filled(4)};
  EXPECT_EQ(SampleTrack(set, tiny, 0.0f), filled(4));
  EXPECT_EQ(SampleTrack(set, tiny, 0.00001f), filled(4));
  // A wrapped time beyond every key gives the identity.
  MeshBoneTrack late;
  late.keyTimes = {-2, -1};
  late.poses = {filled(1), filled(2)};
  EXPECT_EQ(SampleTrack(set, late, -1.5f), kIdentityMatrix);
  // Unequal key and pose counts use only the pairs.
  MeshBoneTrack uneven;
  uneven.keyTimes = {0, 1, 2};
  uneven.poses = {filled(0), filled(10)};
  set.clock = 5;
  EXPECT_EQ(SampleTrack(set, uneven, 1.5f), filled(10));
  EXPECT_EQ(set.clock, 0);
}

TEST(SelectAnimation, RejectsIndicesOutsideTheList) {
  Rig rig(true);
  EXPECT_FALSE(SelectAnimation(rig.set, -1, 2));
  EXPECT_FALSE(SelectAnimation(rig.set, 2, 2));
  EXPECT_EQ(rig.set.speed, 1.0f);
  EXPECT_EQ(rig.set.animationIndex, 0);
  EXPECT_EQ(rig.hip->blending, 0);
}

TEST(SelectAnimation, FadeStartsFromTheOldPoseAndTakesFiveSteps) {
  Rig rig(true);
  // STAND (index 0) is selected; at clock 2 and the new speed 10 the time is 0.4.
  rig.set.clock = 2;
  ASSERT_TRUE(SelectAnimation(rig.set, 1, 10));
  EXPECT_EQ(rig.set.animationIndex, 1);
  EXPECT_EQ(rig.set.speed, 10);
  EXPECT_EQ(rig.set.clock, 2);  // a switch does not reset the clock
  // The hip is animated by both: its fade starts from STAND at 0.4. The arm only by WALK.
  expectNear(rig.hip->blendStart, filled(4));
  expectNear(rig.arm->blendStart, filled(200));
  EXPECT_EQ(rig.hip->blending, 1);
  EXPECT_EQ(rig.hip->blendLength, 5);

  const float expected[] = {4 + 96 * 0.2f, 4 + 96 * 0.4f, 4 + 96 * 0.6f, 4 + 96 * 0.8f, 100};
  for (float e : expected) {
    UpdatePose(rig.set);
    EXPECT_NEAR(rig.hip->localPose[0], e, 1e-4f);
  }
  EXPECT_EQ(rig.hip->blending, 0);
  EXPECT_EQ(rig.hip->blendFrame, 0);
  UpdatePose(rig.set);
  EXPECT_EQ(rig.hip->localPose, filled(100));
}

}  // namespace
