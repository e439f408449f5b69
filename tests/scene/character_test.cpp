#include "scene/character.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

#include "platform/text.h"
#include "scene/camera.h"
#include "scene/scene.h"
#include "tests/scene/scene_fixtures.h"

namespace fs = std::filesystem;

namespace {

using Keys = std::array<uint8_t, kKeyboardStateSize>;

Keys keys(std::initializer_list<uint8_t> down) {
  Keys k{};
  for (uint8_t code : down) k[code] = 0x80;
  return k;
}

// A scratch folder made current for one test; the previous folder comes back afterwards.
class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    start_ = fs::current_path();
    root_ = fs::temp_directory_path() /
            ("mv-character-" + std::to_string(::getpid()) + "-" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "model");
    fs::current_path(root_);
  }
  void TearDown() override {
    fs::current_path(start_);
    fs::remove_all(root_);
  }
  void write(const fs::path& path, const std::string& text) {
    std::ofstream(root_ / path, std::ios::binary) << text;
  }
  fs::path start_, root_;
};

const char kTileMdl[] =
    "<MODEL_ID>\nTile\n<COLLIDER_FILE_PATH>\ntile.cdr\n"
    "<GEOMETRY_BEGIN>\n<GEOMETRY_ID> G\n<VERTEX_COUNT> 3\n"
    "<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_ID> pos\n<FLOAT_ARRAY_FLOAT_COUNT> 3\n"
    "<FLOAT_ARRAY_COUNT> 3\n<FLOAT_ARRAY>\n0 0 0 1 0 0 0 1 0\n<FLOAT_ARRAY_END>\n"
    "<POLYGON_DATA_BEGIN>\n<VERTEX_ID> pos\n<VERTEX_INDEX_COUNT> 3\n0 1 %\n"
    "<POLYGON_DATA_END>\n<GEOMETRY_END>\n";

const char kTileCdr[] =
    "<MODEL_ID>\nTile\n<GEOMETRY_BEGIN>\n<GEOMETRY_ID> ground\n"
    "<COLLIDER_TYPE> COLLIDER_TYPE_MESH\n"
    "<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_ID> pos\n<FLOAT_ARRAY_FLOAT_COUNT> 3\n"
    "<FLOAT_ARRAY_COUNT> 4\n<FLOAT_ARRAY>\n0 0 0 1 0 0 1 1 0 0 1 0\n<FLOAT_ARRAY_END>\n"
    "<POLYGON_DATA_BEGIN>\n<VERTEX_ID> pos\n<VERTEX_INDEX_COUNT> 6\n0 1 2 0 2 3\n"
    "<POLYGON_DATA_END>\n<GEOMETRY_END>\n";

std::string tileMdl(const char* lastIndex) {
  const std::string_view s = kTileMdl;
  const std::size_t at = s.find('%');
  std::string out(s.substr(0, at));
  out += lastIndex;
  out += s.substr(at + 1);
  return out;
}

TEST_F(FolderTest, LoadRefusesShortPathsAndUnknownSuffixes) {
  write("model/tile.MDL", tileMdl("2"));
  for (const char16_t* path : {u"a.md", u".mdl", u"model/tile.MDL", u"model/tile.obj", u""}) {
    CCharacterBase c(nullptr, nullptr);
    EXPECT_FALSE(c.Load(path, u"Tile", nullptr, 0)) << text::toUtf8(path);
    EXPECT_EQ(fs::current_path(), root_);
    EXPECT_EQ(c.meshSet, nullptr);
    EXPECT_EQ(c.models.count(), 0);
    EXPECT_FALSE(c.SetScale(1, 1, 1, 1));
    EXPECT_FALSE(c.Move(1, 0, 0));
  }
}

TEST_F(FolderTest, LoadReadsTheModelAndItsCollidersInTheModelsFolder) {
  write("model/tile.mdl", tileMdl("2"));
  write("model/tile.cdr", kTileCdr);
  CCharacterBase c(nullptr, nullptr);
  ASSERT_TRUE(c.Load(u"./model/tile.mdl", u"Field1_1", nullptr, 0));
  EXPECT_EQ(fs::current_path(), root_);
  EXPECT_EQ(c.name, u"Field1_1");
  ASSERT_NE(c.meshSet, nullptr);
  EXPECT_EQ(c.meshSet->name, u"Tile");
  EXPECT_EQ(c.meshSet->animated, 0);
  ASSERT_EQ(c.meshSet->geometries.count(), 1);
  ASSERT_NE(c.colliders, nullptr);
  ASSERT_EQ(c.colliders->colliders.size(), 1u);
  EXPECT_TRUE(c.colliders->transformed);
  EXPECT_EQ(c.colliders->colliders[0]->worldVertices.size(), 6u);
  EXPECT_EQ(c.colliders->boundsMax[0], 1);
  EXPECT_EQ(c.animationNames.count(), 1);
  EXPECT_EQ(c.models.count(), 1);
  EXPECT_EQ(c.meshSets.at(1)->item, c.meshSet);
}

TEST_F(FolderTest, MissingModelLoadsEmpty) {
  CCharacterBase c(nullptr, nullptr);
  ASSERT_TRUE(c.Load(u"model/nothing.mdl", u"Ghost", nullptr, 1));
  EXPECT_EQ(fs::current_path(), root_);
  ASSERT_NE(c.meshSet, nullptr);
  EXPECT_EQ(c.meshSet->geometries.count(), 0);
  EXPECT_TRUE(c.colliders->colliders.empty());
  EXPECT_TRUE(c.colliders->transformed);
  // A folder that does not exist: the model is empty rather than read from the wrong place.
  write("stray.mdl", tileMdl("2"));
  CCharacterBase d(nullptr, nullptr);
  ASSERT_TRUE(d.Load(u"nowhere/stray.mdl", u"Stray", nullptr, 0));
  EXPECT_EQ(d.meshSet->geometries.count(), 0);
  EXPECT_EQ(fs::current_path(), root_);
}

TEST_F(FolderTest, ModelWithIndicesOutsideItsArraysIsRejected) {
  write("model/bad.mdl", tileMdl("7"));
  CCharacterBase c(nullptr, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_FALSE(c.Load(u"model/bad.mdl", u"Bad", nullptr, 0));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("model/bad.mdl: "), std::string::npos) << err;
  EXPECT_NE(err.find("position index 7 beyond 3 vertices"), std::string::npos) << err;
  EXPECT_EQ(fs::current_path(), root_);
  EXPECT_EQ(c.meshSet, nullptr);
}

// As other tools write them: folders after a backslash, a number line shorter than its
// counts; and a file that reads but draws nothing, which must not vanish without a word.
TEST_F(FolderTest, ModelsAsOtherToolsWriteThemLoadAndEmptyOnesAreNamed) {
  std::string mdl = tileMdl("2");
  mdl.replace(mdl.find("tile.cdr"), 8, "..\\shapes\\tile.cdr");
  mdl.replace(mdl.find("<GEOMETRY_BEGIN>"), 0,
              "<MATERIAL_BEGIN>\n<MATERIAL_NAME> M\n<TEXTURE_NAME> t\n<MATERIAL_END>\n"
              "<TEXTURE_BEGIN>\n<TEXTURE_ID> t\n<TEXTURE_NAME> ..\\maps\\grass.png\n<TEXTURE_END>\n");
  // Four positions announced, three on the line: the fourth reads as the origin.
  mdl.replace(mdl.find("<VERTEX_COUNT> 3"), 16, "<VERTEX_COUNT> 4");
  mdl.replace(mdl.find("<FLOAT_ARRAY_COUNT> 3"), 21, "<FLOAT_ARRAY_COUNT> 4");
  mdl.replace(mdl.find("0 1 2\n"), 6, "1 2 3\n");
  write("model/tile.mdl", mdl);
  fs::create_directories(root_ / "shapes");
  write("shapes/tile.cdr", kTileCdr);
  write("model/empty.mdl", "");
  write("model/cut.mdl", "<MODEL_ID>\nCut\n<GEOMETRY_BEGIN>\n<GEOMETRY_ID> G\n<VERTEX_CO");

  std::vector<std::u16string> textures;
  TextureLoader loader = [&](const std::u16string& file, void*&, int64_t&) {
    textures.push_back(file);
    return false;
  };
  CCharacterBase c(nullptr, nullptr);
  testing::internal::CaptureStderr();
  ASSERT_TRUE(c.Load(u"model\\tile.mdl", u"Tile", nullptr, 0, loader));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(textures, std::vector<std::u16string>{u"../maps/grass.png"});
  ASSERT_EQ(c.colliders->colliders.size(), 1u);
  const GpuGeometry& g = **c.meshSet->geometries.at(0);
  ASSERT_EQ(g.vertices.size(), 4u);
  EXPECT_EQ(g.vertices[2].position[1], 1.0f);
  EXPECT_EQ(g.vertices[3].position[0], 0.0f);

  for (const char* name : {"empty", "cut"}) {
    CCharacterBase e(nullptr, nullptr);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(e.Load(u"model/" + text::fromUtf8(name) + u".mdl", u"E", nullptr, 0));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("model/" + std::string(name) + ".mdl: no geometry to draw"), std::string::npos) << err;
  }
}

TEST(CharacterTransform, ActsOnEveryMeshSet) {
  CCharacterBase c(nullptr, nullptr);
  fixtures::adoptSkeleton(c);
  fixtures::adoptSkeleton(c);
  EXPECT_TRUE(c.SetPosition(1, 2, 3));
  EXPECT_TRUE(c.Move(1, 1, 1));
  EXPECT_TRUE(c.SetRotation(0, 0, 45));
  EXPECT_TRUE(c.SetScale(2, 3, 4, 5));
  for (int32_t i = 1; i <= 2; ++i) {
    const MeshSet& m = *c.meshSets.at(i)->item;
    EXPECT_EQ(m.position[0], 2);
    EXPECT_EQ(m.position[2], 4);
    EXPECT_EQ(m.rotation[2], 45);
    EXPECT_EQ(m.scale[3], 5);
  }
}

TEST(CharacterAnimation, NamesSelectTheirPosition) {
  CCharacterBase c(nullptr, nullptr);
  fixtures::adoptSkeleton(c);
  EXPECT_FALSE(c.SetAnimation(u"RUN", 2));
  EXPECT_EQ(c.currentAnimation(), u"");
  EXPECT_TRUE(c.SetAnimation(u"STAND", 3));
  EXPECT_EQ(c.currentAnimation(), u"STAND");
  EXPECT_EQ(c.meshSet->animationIndex, 1);
  EXPECT_EQ(c.meshSet->speed, 3);
  EXPECT_FALSE(c.SetAnimation(u"stand", 3));  // exact comparison
}

TEST(SkeltonKeyboard, TurnsWrapAroundAndCancel) {
  CSkelton s(nullptr, nullptr);
  s.heading = 359.5f;
  s.OnKeyboard(keys({kKeyLeft}).data());
  EXPECT_FLOAT_EQ(s.heading, 0.5f);
  EXPECT_EQ(s.keyActive, 1);
  s.OnKeyboard(keys({kKeyRight}).data());
  EXPECT_FLOAT_EQ(s.heading, 359.5f);
  s.OnKeyboard(keys({kKeyLeft, kKeyRight}).data());
  EXPECT_FLOAT_EQ(s.heading, 359.5f);
  EXPECT_EQ(s.keyActive, 1);
  s.OnKeyboard(keys({0x1E}).data());  // any other key does nothing
  EXPECT_EQ(s.keyActive, 0);
  EXPECT_FLOAT_EQ(s.heading, 359.5f);
}

TEST(SkeltonKeyboard, AboutTurnClimbsTwoDegreesAndSnaps) {
  CSkelton s(nullptr, nullptr);
  fixtures::adoptSkeleton(s);
  s.heading = 10;
  s.OnKeyboard(keys({kKeyDown}).data());
  EXPECT_EQ(s.turning, 1);
  EXPECT_EQ(s.turnTarget, 190);
  s.OnKeyboard(keys({kKeyLeft}).data());  // ignored while turning
  EXPECT_EQ(s.heading, 10);
  s.SetPosition(5, 6, 7);
  int frames = 0;
  while (s.turning && frames < 1000) {
    s.Update();
    ++frames;
    if (s.turning) {
      EXPECT_EQ(s.heading, 10 + 2 * frames);
    }
  }
  EXPECT_EQ(frames, 81);  // 172 is the first heading within 20 of 190
  EXPECT_EQ(s.heading, 190);
  EXPECT_EQ(s.meshSet->position[0], 5);  // no movement while turning
  // From above 180 the target is 180 lower.
  s.OnKeyboard(keys({kKeyDown}).data());
  EXPECT_EQ(s.turnTarget, 10);
}

TEST(SkeltonWalk, RampsToFullSpeedThenOneUnitAFrame) {
  Camera camera;
  CSkelton s(nullptr, &camera);
  fixtures::adoptSkeleton(s);
  const Keys up = keys({kKeyUp});
  s.OnKeyboard(up.data());
  EXPECT_EQ(s.walking, 1);
  EXPECT_EQ(s.currentAnimation(), u"WALK");
  EXPECT_EQ(s.meshSet->speed, 10);
  for (int i = 0; i < 50; ++i) {
    s.Update();
    s.LateUpdate();
  }
  EXPECT_NEAR(s.walkFactor, 1, 1e-5f);
  s.Update();
  EXPECT_EQ(s.walkFactor, 1);
  float x = s.meshSet->position[0];
  s.Update();
  EXPECT_FLOAT_EQ(s.meshSet->position[0] - x, 1);
  EXPECT_NEAR(s.meshSet->position[1], 0, 1e-3f);
  EXPECT_EQ(s.meshSet->rotation[2], 90);
  // Full speed: the scene view trails 40 behind and 5 above.
  s.LateUpdate();
  const float px = s.meshSet->position[0];
  EXPECT_FLOAT_EQ(camera.sceneViewEye[0], px - 40);
  EXPECT_FLOAT_EQ(camera.sceneViewEye[2], 5);
  EXPECT_FLOAT_EQ(camera.sceneViewTarget[0], px);
  EXPECT_FLOAT_EQ(camera.followViewEye[0], x + 1 + 100);
  EXPECT_FLOAT_EQ(camera.followViewEye[2], 60);
  EXPECT_EQ(camera.lightStrength, 0.7f);
  EXPECT_EQ(camera.lightPosition[2], 6000);
}

TEST(SkeltonWalk, ReleasingTheKeysSelectsStandOnce) {
  CSkelton s(nullptr, nullptr);
  fixtures::adoptSkeleton(s);
  s.OnKeyboard(keys({kKeyUp}).data());
  s.Update();
  s.LateUpdate();
  EXPECT_EQ(s.meshSet->animationIndex, 0);
  s.OnKeyboard(keys({}).data());
  EXPECT_EQ(s.keyActive, 0);
  s.Update();
  s.LateUpdate();
  EXPECT_EQ(s.walking, 0);
  EXPECT_EQ(s.currentAnimation(), u"STAND");
  EXPECT_EQ(s.meshSet->animationIndex, 1);
  EXPECT_EQ(s.meshSet->speed, 3);
  EXPECT_FLOAT_EQ(s.walkFactor, 0.02f);  // +0.02 twice while walking, -0.02 on stopping
  // Later idle frames leave the selection alone.
  s.meshSet->speed = 1;
  for (int i = 0; i < 3; ++i) s.LateUpdate();
  EXPECT_EQ(s.meshSet->speed, 1);
}

TEST(SkeltonGround, FollowsTheTilesAndKeepsItsHeightOutside) {
  Scene scene;
  Camera camera;
  CSkelton s(&scene, &camera);
  fixtures::adoptSkeleton(s);
  CCharacterBase tile(&scene, &camera);
  fixtures::adoptTile(tile, u"Field1_1", 0, 0, 0.1f);
  scene.firstList.append(&s);
  scene.thirdList.append(&tile);
  s.SetPosition(1400, 400, 55);
  s.Update();
  EXPECT_NEAR(s.meshSet->position[2], 0.07f * 2000, 1e-2f);
  // The follow view uses the position before the ground correction.
  EXPECT_EQ(camera.followViewEye[2], 55 + 60);
  s.SetPosition(5000, 400, 55);
  s.Update();
  EXPECT_EQ(s.meshSet->position[2], 55);
}

}  // namespace
