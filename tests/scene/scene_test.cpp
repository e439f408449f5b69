#include "scene/scene.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "platform/text.h"
#include "tests/scene/scene_fixtures.h"

namespace fs = std::filesystem;

namespace {

// Counts the calls the scene makes.
class Probe : public CCharacterBase {
 public:
  Probe() : CCharacterBase(nullptr, nullptr) {}
  void Update() override { ++updates; }
  void LateUpdate() override { ++lateUpdates; }
  void OnKeyboard(const uint8_t* keys) override { lastKey = keys[kKeyUp]; }
  int updates = 0, lateUpdates = 0;
  uint8_t lastKey = 0;
};

TEST(SceneSteps, EmptyListsDoNothing) {
  Scene scene;
  std::array<uint8_t, kKeyboardStateSize> keys{};
  EXPECT_TRUE(scene.UpdateObjects());
  EXPECT_TRUE(scene.AdvanceAnimationClocks(1));
  EXPECT_TRUE(scene.UpdatePoses());
  EXPECT_TRUE(scene.LateUpdateObjects());
  EXPECT_TRUE(scene.DispatchKeyboard(keys.data()));
  float g[4];
  EXPECT_FALSE(scene.QueryGroundHeight(0, 0, g));
  EXPECT_FALSE(scene.SetSkeletonScale(1, 1, 1, 1));
  EXPECT_FALSE(scene.SetSkeletonPosition(1, 1, 1));
  EXPECT_TRUE(scene.LoadAnimation(u"x.ani", u"X"));
  EXPECT_TRUE(scene.BindAnimations());
}

TEST(SceneSteps, EveryListGetsEveryStep) {
  Scene scene;
  Probe a, b, c;
  fixtures::adoptSkeleton(b);
  scene.firstList.append(&a);
  scene.secondList.append(&b);
  scene.thirdList.append(&c);
  std::array<uint8_t, kKeyboardStateSize> keys{};
  keys[kKeyUp] = 0x80;
  scene.UpdateObjects();
  scene.AdvanceAnimationClocks(1);
  scene.AdvanceAnimationClocks(1);
  scene.LateUpdateObjects();
  scene.DispatchKeyboard(keys.data());
  for (Probe* p : {&a, &b, &c}) {
    EXPECT_EQ(p->updates, 1);
    EXPECT_EQ(p->lateUpdates, 1);
    EXPECT_EQ(p->lastKey, 0x80);
  }
  EXPECT_EQ(b.meshSet->clock, 2);
  b.meshSet->position[0] = 3;
  scene.UpdatePoses();
  EXPECT_EQ(b.meshSet->worldMatrix[12], 3);
  // The cursors stay where they were.
  EXPECT_EQ(scene.secondList.cursorIndex(), 1);
}

TEST(SceneGround, FirstTileInListOrderWins) {
  Scene scene;
  CCharacterBase low(nullptr, nullptr), high(nullptr, nullptr), far(nullptr, nullptr);
  fixtures::adoptTile(far, u"Field1_1", 5, 5, 0.5f);
  fixtures::adoptTile(low, u"Field1_2", 0, 0, 0.1f);
  fixtures::adoptTile(high, u"Field1_3", 0, 0, 0.3f);
  scene.thirdList.append(&far);
  scene.thirdList.append(&low);
  scene.thirdList.append(&high);
  float g[4];
  ASSERT_TRUE(scene.QueryGroundHeight(0.5f, 0.25f, g));
  EXPECT_NEAR(g[2], 0.05f, 1e-6f);
  ASSERT_TRUE(scene.QueryGroundHeight(5.5f, 5.25f, g));
  EXPECT_NEAR(g[2], 0.25f, 1e-6f);
  EXPECT_FALSE(scene.QueryGroundHeight(3, 3, g));
  // Only the third list is searched.
  Scene other;
  other.firstList.append(&low);
  EXPECT_FALSE(other.QueryGroundHeight(0.5f, 0.25f, g));
}

class SceneAnimations : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = fs::temp_directory_path() / ("mv-scene-" + std::to_string(::getpid()));
    fs::create_directories(folder_);
    walk_ = folder_ / "walk.ani";
    std::ofstream(walk_) << "<TARGET_MODEL_ID>\nSKELTON\n<ANIMATION_ID>\nWALK\n<ANIMATION_BEGIN>\n"
                            "<TARGET> hip\n<KEY_TIME>\n0 1\n<POSE_MATRIX>\n"
                            "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n"
                            "1 0 0 0 0 1 0 0 0 0 1 2 0 0 0 1\n"
                            "<POSE_MATRIX_END>\n<ANIMATION_END>\n";
  }
  void TearDown() override { fs::remove_all(folder_); }
  std::u16string path(const fs::path& p) { return text::fromUtf8(p.string()); }
  fs::path folder_, walk_;
};

TEST_F(SceneAnimations, LoadAndBindFeedEverySkeleton) {
  Scene scene;
  CSkelton first(nullptr, nullptr), second(nullptr, nullptr);
  Probe tile;
  fixtures::adoptSkeleton(first, false);
  fixtures::adoptSkeleton(second, false);
  fixtures::adoptTile(tile, u"Field1_1", 0, 0, 0);
  scene.firstList.append(&first);
  scene.thirdList.append(&tile);
  scene.thirdList.append(&second);

  EXPECT_TRUE(scene.LoadAnimation(path(walk_), u"WALK"));
  testing::internal::CaptureStderr();
  EXPECT_TRUE(scene.LoadAnimation(path(folder_ / "missing.ani"), u"STAND"));
  EXPECT_NE(testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(scene.BindAnimations());
  for (CSkelton* s : {&first, &second}) {
    const AnimationNameList& names = **s->animationNames.at(0);
    EXPECT_EQ(names, (AnimationNameList{u"WALK", u"STAND"}));  // the missing one still counts
    ASSERT_EQ(s->meshSet->animations.count(), 1);
    EXPECT_EQ((*s->meshSet->animations.at(0))->name, u"WALK");
    EXPECT_TRUE(s->SetAnimation(u"WALK", 10));
  }
  EXPECT_EQ((**tile.animationNames.at(0)).size(), 0u);
  EXPECT_EQ(tile.meshSet->animations.count(), 0);

  EXPECT_TRUE(scene.SetSkeletonScale(0.4f, 0.4f, 0.4f, 0.4f));
  EXPECT_TRUE(scene.SetSkeletonPosition(1, 2, 3));
  EXPECT_EQ(first.meshSet->scale[3], 0.4f);
  EXPECT_EQ(first.meshSet->position[2], 3);
  EXPECT_EQ(second.meshSet->scale[3], 1);  // only the first skeleton found
  EXPECT_EQ(second.meshSet->position[2], 0);

  // A skeleton without a MeshSet is found but left alone.
  Scene bare;
  CSkelton empty(nullptr, nullptr);
  empty.name = u"SKELTON";
  bare.secondList.append(&empty);
  EXPECT_TRUE(bare.SetSkeletonScale(1, 1, 1, 1));
}

}  // namespace
