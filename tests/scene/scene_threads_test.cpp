// The input thread's keyboard handling against the frame thread's updates, as the viewer runs
// them: built for ThreadSanitizer too (label "threaded"), where any data race fails the run.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>

#include "scene/camera.h"
#include "scene/scene.h"
#include "tests/scene/scene_fixtures.h"

namespace {

constexpr int kBones = 4;

// A chain of four bones, every one animated by both "WALK" and "STAND".
void adoptChain(CCharacterBase& c) {
  auto model = std::make_unique<ModelData>();
  model->modelId = u"SKELTON";
  Bone* parent = nullptr;
  for (int i = 0; i < kBones; ++i) {
    Bone* b = model->newBone();
    b->id = u"bone" + std::u16string(1, static_cast<char16_t>(u'0' + i));
    b->jointMatrix[3] = 1;  // one unit along x from the parent (file order)
    b->parent = parent;
    (parent ? parent->children : model->rootBones).push_back(b);
    model->bones.push_back(b);
    parent = b;
  }
  for (const char16_t* id : {u"WALK", u"STAND"}) {
    auto set = std::make_unique<AnimationSet>();
    set->id = id;
    for (Bone* b : model->bones) {
      auto track = std::make_unique<BoneTrack>();
      track->target = b->id;
      for (int k = 0; k <= 6; ++k) {
        Matrix4 pose = b->jointMatrix;
        pose[7] = std::sin(static_cast<float>(k)) * (id[0] == u'W' ? 1.0f : 0.2f);
        track->keyTimes.push_back(static_cast<float>(k) * 0.5f);
        track->poses.push_back(pose);
      }
      set->tracks.push_back(std::move(track));
    }
    model->animations.push_back(std::move(set));
  }
  fixtures::adoptAsSkeleton(c, std::move(model), {u"WALK", u"STAND"});
}

TEST(SceneThreads, KeyboardAgainstFrameUpdatesIsRaceFreeAndNeverTearsAPose) {
  Scene scene;
  Camera camera;
  CSkelton skeleton(&scene, &camera);
  adoptChain(skeleton);
  CCharacterBase tile(&scene, &camera);
  fixtures::adoptTile(tile, u"Field1_1", -1, -1, 0.0f);
  scene.firstList.append(&skeleton);
  scene.thirdList.append(&tile);
  skeleton.SetAnimation(u"STAND", 3.0f);

  std::atomic<bool> inputDone{false};
  std::thread input([&] {
    using Keys = std::array<uint8_t, kKeyboardStateSize>;
    const std::initializer_list<uint8_t> patterns[] = {
        {kKeyUp}, {}, {kKeyUp, kKeyLeft}, {}, {kKeyUp}, {kKeyRight}, {}, {kKeyDown}, {kKeyUp}, {}};
    for (int i = 0; i < 6000; ++i) {
      Keys keys{};
      for (uint8_t code : patterns[i % std::size(patterns)]) keys[code] = 0x80;
      scene.DispatchKeyboard(keys.data());
      if (i % 3 == 0) std::this_thread::yield();
    }
    inputDone = true;
  });

  MeshSet& mesh = *skeleton.meshSet;
  FrameConstantImage image{};
  int frames = 0;
  bool torn = false;
  while (!inputDone || frames < 2000) {
    scene.UpdateObjects();
    scene.AdvanceAnimationClocks(1);
    scene.UpdatePoses();
    scene.LateUpdateObjects();
    camera.UpdateSceneView(image, nullptr);
    camera.UpdateFollowView(image, nullptr);
    {
      // Every bone is faded by the same switch: their fade steps must agree after a pose.
      std::lock_guard<std::mutex> lock(mesh.poseMutex);
      for (int64_t i = 1; i < mesh.bones.count(); ++i) {
        const MeshBone& a = **mesh.bones.at(0);
        const MeshBone& b = **mesh.bones.at(i);
        if (a.blending != b.blending || a.blendFrame != b.blendFrame) torn = true;
      }
    }
    ++frames;
  }
  input.join();

  EXPECT_FALSE(torn);
  float h = skeleton.heading;
  EXPECT_GE(h, 0.0f);
  EXPECT_LE(h, 360.0f);
  EXPECT_TRUE(mesh.animationIndex == 0 || mesh.animationIndex == 1);
  for (int64_t i = 0; i < mesh.bones.count(); ++i) {
    for (float v : (*mesh.bones.at(i))->skinMatrix) EXPECT_TRUE(std::isfinite(v));
  }
  for (float v : image) EXPECT_TRUE(std::isfinite(v));
}

// The frame thread may run between any two of the input thread's stores. Held inside the
// poll's "WALK" selection (the pose lock), the poll must already say that a key is down:
// a frame that saw the walk without it would select "STAND" and restart the cross-fade.
TEST(SceneThreads, AKeyPressIsPublishedBeforeTheWalkItStarts) {
  Scene scene;
  Camera camera;
  CSkelton skeleton(&scene, &camera);
  fixtures::adoptSkeleton(skeleton);
  std::array<uint8_t, kKeyboardStateSize> keys{};
  keys[kKeyUp] = 0x80;

  std::unique_lock<std::mutex> frame(skeleton.meshSet->poseMutex);
  std::thread input([&] { skeleton.OnKeyboard(keys.data()); });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (skeleton.keyActive.load() == 0 && std::chrono::steady_clock::now() < end) {
    std::this_thread::yield();
  }
  EXPECT_EQ(skeleton.keyActive.load(), 1);
  EXPECT_EQ(skeleton.walking.load(), 0);
  frame.unlock();
  input.join();
  EXPECT_EQ(skeleton.walking.load(), 1);
  EXPECT_EQ(skeleton.currentAnimation(), u"WALK");
}

}  // namespace
