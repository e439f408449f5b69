// The formats read through Assimp: the format table sends Debian's test models to the right
// entry, each reads with Assimp's own counts and bounds (or fails with one line where it is
// broken), and what the reader makes of materials, held textures, skins and animations holds
// together. Files that name other files are resolved against their folder, never opened when
// they are not regular files.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "model/model_format.h"
#include "tests/model/asset_summary.h"

namespace {

namespace fs = std::filesystem;

bool readsThroughAssimp(const ModelFormat& format) {
  static const std::set<std::string_view> kOurs = {"ModelViewer model", "COLLADA", "glTF", "STL", "PLY", "OBJ"};
  return !kOurs.contains(format.name);
}

struct Read {
  bool ok = false;
  ModelAsset asset;
  std::string messages;
};

Read read(const fs::path& file) {
  Read r;
  testing::internal::CaptureStderr();
  r.ok = readModelAsset(file, {}, r.asset);
  r.messages = testing::internal::GetCapturedStderr();
  return r;
}

// Every skin, joint, weight and key refers to what exists, weights sum to one, keys ascend.
void expectSoundAnimation(const ModelAsset& asset) {
  for (const Mesh& mesh : asset.meshes) {
    for (const MeshPrimitive& p : mesh.primitives) {
      if (p.joints.empty()) continue;
      ASSERT_EQ(p.weights.size(), p.joints.size());
      for (std::size_t v = 0; v < p.vertexCount(); ++v) {
        EXPECT_NEAR(p.weights[v * 4] + p.weights[v * 4 + 1] + p.weights[v * 4 + 2] + p.weights[v * 4 + 3], 1.0f, 1e-4f);
      }
    }
  }
  for (const AssetNode& node : asset.nodes) {
    if (node.skin < 0) continue;
    ASSERT_LT(static_cast<std::size_t>(node.skin), asset.skins.size());
    const Skin& skin = asset.skins[static_cast<std::size_t>(node.skin)];
    EXPECT_EQ(skin.joints.size(), skin.inverseBinds.size());
    for (const MeshPrimitive& p : asset.meshes[static_cast<std::size_t>(node.mesh)].primitives) {
      for (uint16_t j : p.joints) EXPECT_LT(j, skin.joints.size());
    }
  }
  for (const AnimationClip& clip : asset.animations) {
    for (const AnimationChannel& c : clip.channels) {
      EXPECT_TRUE(asset.nodes[static_cast<std::size_t>(c.node)].hasTrs);
      EXPECT_TRUE(std::is_sorted(c.times.begin(), c.times.end()));
    }
  }
}

// What Assimp itself refuses we refuse too; what we read has its triangles, lines and points
// and its bounds. The format table finds each file's format (the formatDetection files have no
// suffix: their magic decides), and the broken files end with one line.
TEST(AssimpReader, ReadsDebiansTestModelsAsAssimpDoes) {
  if (!fs::exists(kAssimpModels)) GTEST_SKIP() << kAssimpModels << " is not installed (assimp-testmodels)";
  const std::map<std::string, std::string> kDetected = {{"3DS/testFormatDetection", "3DS"},
                                                        {"OFF/formatDetection", "OFF"},
                                                        {"X/TestFormatDetection", "DirectX"},
                                                        {"HMP/formatDetection", "model (Assimp, Z up)"}};
  std::size_t files = 0, skinned = 0, animated = 0, held = 0;
  for (const char* folder : {"3DS", "FBX", "FBX/embedded_ascii", "OFF", "X", "3MF", "BLEND", "MD2", "HMP", "invalid"}) {
    for (const auto& entry : fs::directory_iterator(kAssimpModels / folder)) {
      if (!entry.is_regular_file()) continue;
      const std::string name = std::string(folder) + "/" + entry.path().filename().string();
      const ModelFormat* named = formatOfName(entry.path());
      const auto detected = kDetected.find(name);
      if (detected == kDetected.end() && (named == nullptr || !readsThroughAssimp(*named))) continue;
      SCOPED_TRACE(name);
      ++files;
      const ModelFormat* format = formatOfFile(entry.path());
      if (detected != kDetected.end()) {
        ASSERT_NE(format, nullptr);
        EXPECT_EQ(format->name, detected->second);
      }
      const Read ours = read(entry.path());
      // Assimp's bare reading of a broken file can stop the process on one of its assertions:
      // ours validates first.
      const bool broken = std::string(folder) == "invalid";
      const Summary theirs = broken ? Summary() : assimpSummary(entry.path());
      // invalid.off's one face names vertices it lacks: our validation of Assimp's result
      // refuses it, where Assimp's bare reading keeps the vertices.
      if (broken || !theirs.read || name == "OFF/invalid.off") {
        EXPECT_FALSE(ours.ok);
        EXPECT_EQ(lineCount(ours.messages), 1u) << ours.messages;
        EXPECT_NE(ours.messages.find(entry.path().string()), std::string::npos) << ours.messages;
        continue;
      }
      ASSERT_TRUE(ours.ok) << ours.messages;
      const Summary summary = summaryOf(ours.asset);
      EXPECT_EQ(summary.triangles, theirs.triangles);
      EXPECT_EQ(summary.lines, theirs.lines);
      EXPECT_EQ(summary.points, theirs.points);
      for (int i = 0; i < 3; ++i) {
        EXPECT_FLOAT_EQ(summary.min[i], theirs.min[i]);
        EXPECT_FLOAT_EQ(summary.max[i], theirs.max[i]);
      }
      expectSoundAnimation(ours.asset);
      skinned += !ours.asset.skins.empty();
      animated += !ours.asset.animations.empty();
      held += std::any_of(ours.asset.images.begin(), ours.asset.images.end(),
                          [](const ImageSource& image) { return image.inMemory() && image.size > 0; });
    }
  }
  EXPECT_GE(files, 50u);
  EXPECT_GE(skinned, 3u);
  EXPECT_GE(animated, 5u);
  EXPECT_GE(held, 3u);
}

// Values worked out from the files by hand: a cube of OFF quads, a 3MF box in millimetres
// (Z up), the material of a 3ds Max physical material, an FBX in centimetres and Y up, a
// Phong material whose only colour is its texture.
TEST(AssimpReader, GivesTheFilesFramesAndMaterials) {
  if (!fs::exists(kAssimpModels)) GTEST_SKIP() << kAssimpModels << " is not installed (assimp-testmodels)";
  const Read cube = read(kAssimpModels / "OFF/Cube.off");
  ASSERT_TRUE(cube.ok) << cube.messages;
  const Summary c = summaryOf(cube.asset);
  EXPECT_EQ(c.triangles, 12u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(c.min[i], -0.5f);
    EXPECT_EQ(c.max[i], 0.5f);
  }

  const Read box = read(kAssimpModels / "3MF/box.3mf");
  ASSERT_TRUE(box.ok) << box.messages;
  const Summary b = summaryOf(box.asset);
  EXPECT_EQ(b.triangles, 12u);
  EXPECT_EQ(box.asset.upAxis, UpAxis::kZ);
  EXPECT_EQ(b.max[0] - b.min[0], 10.0f);
  EXPECT_EQ(b.max[1] - b.min[1], 20.0f);
  EXPECT_EQ(b.max[2] - b.min[2], 30.0f);

  const Read physical = read(kAssimpModels / "FBX/maxPbrMaterial_metalRough.fbx");
  ASSERT_TRUE(physical.ok) << physical.messages;
  ASSERT_EQ(physical.asset.materials.size(), 1u);
  const MaterialDescription& p = physical.asset.materials[0];
  EXPECT_FLOAT_EQ(p.metallic, 0.25f);
  EXPECT_FLOAT_EQ(p.roughness, 0.5f);
  EXPECT_EQ(p.baseColor[0], 0.0f);
  EXPECT_EQ(p.baseColor[1], 1.0f);
  EXPECT_TRUE(p.baseColorTexture.present() && p.normalTexture.present() && p.emissiveTexture.present());
  // The path another machine wrote, with its backslashes, under the model's folder.
  const ImageSource& albedo = physical.asset.images[static_cast<std::size_t>(p.baseColorTexture.image)];
  EXPECT_EQ(albedo.path, kAssimpModels / "FBX/Textures/albedo.png");

  const Read skeleton = read(kAssimpModels / "FBX/animation_with_skeleton.fbx");
  ASSERT_TRUE(skeleton.ok) << skeleton.messages;
  EXPECT_EQ(skeleton.asset.upAxis, UpAxis::kY);
  EXPECT_DOUBLE_EQ(skeleton.asset.metresPerUnit, 0.01);
  ASSERT_EQ(skeleton.asset.animations.size(), 1u);
  EXPECT_NEAR(skeleton.asset.animations[0].duration(), 0.8333, 1e-3);

  const Read textured = read(kAssimpModels / "FBX/embedded_ascii/box.FBX");
  ASSERT_TRUE(textured.ok) << textured.messages;
  const MaterialDescription& t = textured.asset.materials.at(0);
  ASSERT_TRUE(t.baseColorTexture.present());
  EXPECT_EQ(t.baseColor[0], 1.0f);  // the image alone colours
  EXPECT_TRUE(t.hasBaseColorWithoutTexture);
  EXPECT_NEAR(t.baseColorWithoutTexture[0], 0.305f, 0.001f);  // its diffuse 0.588, made linear
  EXPECT_EQ(t.metallic, 0.0f);
  EXPECT_TRUE(t.doubleSided);
  const ImageSource& image = textured.asset.images.at(static_cast<std::size_t>(t.baseColorTexture.image));
  ASSERT_TRUE(image.inMemory());
  EXPECT_EQ(image.mimeType, "image/png");
  EXPECT_TRUE(image.size > 8 && std::memcmp(image.data().data(), "\x89PNG", 4) == 0);
}

// A scene that names its object by a path relative to its own folder reads from any working
// directory; an object that is a FIFO is never opened (the read ends, without it).
TEST(AssimpReader, ResolvesNamedFilesInTheModelsFolderAndOpensOnlyRegularFiles) {
  if (!fs::exists(kAssimpModels)) GTEST_SKIP() << kAssimpModels << " is not installed (assimp-testmodels)";
  const fs::path folder = fs::temp_directory_path() / ("mv_assimp_" + std::to_string(::getpid()));
  fs::remove_all(folder);
  fs::create_directories(folder / "parts");
  std::ifstream in(kAssimpModels / "LWS/move_x.lws");
  std::stringstream text;
  text << in.rdbuf();
  std::string scene = text.str();
  const std::string object = "simple_cube.lwo";
  ASSERT_NE(scene.find(object), std::string::npos);
  scene.replace(scene.find(object), object.size(), "parts/cube.lwo");
  std::ofstream(folder / "scene.lws") << scene;
  fs::copy_file(kAssimpModels / "LWS/simple_cube.lwo", folder / "parts/cube.lwo");

  const Read ok = read(folder / "scene.lws");
  ASSERT_TRUE(ok.ok) << ok.messages;
  EXPECT_EQ(summaryOf(ok.asset).triangles, 12u);
  EXPECT_FALSE(ok.asset.animations.empty());
  expectSoundAnimation(ok.asset);

  fs::remove(folder / "parts/cube.lwo");
  ASSERT_EQ(::mkfifo((folder / "parts/cube.lwo").c_str(), 0600), 0);
  // Assimp stands a placeholder in for an object it cannot load; what matters is that the
  // read ends: opening the FIFO would block for ever.
  const Read fifo = read(folder / "scene.lws");
  EXPECT_NE(summaryOf(fifo.asset).triangles, 12u);
  fs::remove_all(folder);
}

}  // namespace
