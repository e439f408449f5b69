// The generated sample content, read back through the viewer's own readers, scene and pose code
// into a fresh folder: every file reads cleanly, the skeleton is skinned, sized and looped as
// start-up expects, the field forms one ground, walking across it keeps the skeleton on it, and
// the button images are what the title bar paints. Nothing is rendered.
#include <gtest/gtest.h>
#include <stb_image.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "model/ani_reader.h"
#include "model/matrix_math.h"
#include "model/model_data.h"
#include "model/model_loader.h"
#include "platform/text.h"
#include "scene/camera.h"
#include "scene/character.h"
#include "scene/collider_set.h"
#include "scene/colliders.h"
#include "scene/mesh_set.h"
#include "scene/scene.h"
#include "scene/skeletal_animation.h"
#include "tools/field_content.h"
#include "tools/skeleton_content.h"

namespace fs = std::filesystem;

namespace {

struct Output {
  int status = -1;
  std::string out, err;
};

std::string quoted(const fs::path& path) {
  std::string q = "'";
  q += path.string();
  q += '\'';
  return q;
}

std::string readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `command` through the shell; stdout and stderr come back separately.
Output runCommand(const std::string& command) {
  fs::path errFile = fs::temp_directory_path() / ("content_test_err_" + std::to_string(::getpid()));
  Output run;
  FILE* pipe = ::popen((command + " 2>" + quoted(errFile)).c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
    run.out.append(buffer, n);
  }
  int status = ::pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = readAll(errFile);
  fs::remove(errFile);
  return run;
}

fs::path makeTempFolder() {
  std::string pattern = (fs::temp_directory_path() / "content_test_XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// Runs the generator into `folder`.
Output generate(const fs::path& folder) {
  return runCommand(quoted(MV_GENERATOR) + " " + quoted(folder));
}

// The content, generated once per test program.
class GeneratedContent : public testing::Environment {
 public:
  static inline fs::path root;

  void SetUp() override {
    root = makeTempFolder();
    ASSERT_FALSE(root.empty());
    Output run = generate(root);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
  }
  void TearDown() override {
    if (!root.empty()) fs::remove_all(root);
  }
};
[[maybe_unused]] testing::Environment* const kContent =
    testing::AddGlobalTestEnvironment(new GeneratedContent);

template <class F>
std::string stderrOf(F f) {
  testing::internal::CaptureStderr();
  f();
  return testing::internal::GetCapturedStderr();
}

std::string tileStem(int row, int column) {
  return "field" + std::to_string(row) + "-" + std::to_string(column);
}
std::u16string tileName(int row, int column) {
  return u"Field" + text::fromUtf8(std::to_string(row) + "_" + std::to_string(column));
}

// Runs in the content folder, as the viewer runs in its run folder.
class Content : public testing::Test {
 protected:
  void SetUp() override {
    start_ = fs::current_path();
    fs::current_path(GeneratedContent::root);
  }
  void TearDown() override { fs::current_path(start_); }

 private:
  fs::path start_;
};

// ---- Geometry helpers -------------------------------------------------------------------

struct Point {
  float x = 0, y = 0, z = 0;
};

Point transformPoint(const Point& p, const Matrix4& m) {
  float in[4] = {p.x, p.y, p.z, 1}, out[4];
  TransformRow(out, in, m);
  return {out[0], out[1], out[2]};
}

// A vertex as the skinning shader places it: through the bind-shape matrix, blended over the
// skinning matrices of its bones, then through the world matrix.
Point skinnedVertex(const MeshSet& set, const GpuGeometry& geometry, const ModelVertex& v) {
  Point p = transformPoint({v.position[0], v.position[1], v.position[2]}, geometry.bindShapeMatrix);
  Point sum;
  float total = 0;
  for (const BoneWeight& w : v.bones) {
    int bone = static_cast<int>(w.boneIndex);
    if (w.weight <= 1e-7f || bone < 0 || bone >= set.bones.count()) continue;
    Point s = transformPoint(p, (*set.bones.at(bone))->skinMatrix);
    sum = {sum.x + w.weight * s.x, sum.y + w.weight * s.y, sum.z + w.weight * s.z};
    total += w.weight;
  }
  return transformPoint(total > 0 ? sum : p, set.worldMatrix);
}

std::vector<Point> skinnedVertices(const MeshSet& set) {
  std::vector<Point> points;
  for (int64_t g = 0; g < set.geometries.count(); ++g) {
    const GpuGeometry& geometry = **set.geometries.at(g);
    for (const ModelVertex& v : geometry.vertices) {
      points.push_back(skinnedVertex(set, geometry, v));
    }
  }
  return points;
}

// The rest transform of `bone` in model space: its joint matrices composed up to the root.
Matrix4 restGlobal(const MeshBone* bone) {
  Matrix4 global = bone->jointMatrix;
  for (const MeshBone* b = bone->parent; b != nullptr; b = b->parent) {
    Matrix4 next;
    MatrixMultiply(next, global, b->jointMatrix);
    global = next;
  }
  return global;
}

Point origin(const Matrix4& m) { return {m[12], m[13], m[14]}; }

float distance(const Point& a, const Point& b) {
  return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z);
}

// Selects animation `index` at `speed` without a cross-fade, so the next pose is that
// animation's own.
void selectWithoutFade(MeshSet& set, int64_t index, float speed) {
  set.animationIndex = static_cast<int32_t>(index);
  set.speed = speed;
  for (int64_t b = 0; b < set.bones.count(); ++b) (*set.bones.at(b))->blending = 0;
}

// Appends an animation that moves no bone and selects it: the next pose is the rest pose.
void selectRestPose(MeshSet& set) {
  MeshAnimation* rest = set.newAnimation();
  rest->name = u"REST";
  set.animations.append(rest);
  selectWithoutFade(set, set.animations.count() - 1, 1.0f);
}

int boneNamed(const MeshSet& set, std::u16string_view name) {
  for (int64_t i = 0; i < set.bones.count(); ++i) {
    if ((*set.bones.at(i))->name == name) return static_cast<int>(i);
  }
  return -1;
}

int boneIndexOf(const MeshSet& set, const MeshBone* bone) {
  for (int64_t i = 0; i < set.bones.count(); ++i) {
    if (*set.bones.at(i) == bone) return static_cast<int>(i);
  }
  return -1;
}

// ---- The start-up scene without a window ---------------------------------------------------

// The skeleton and the 49 tiles loaded from the content folder as start-up loads them.
struct FieldScene {
  Scene scene;
  Camera camera;
  std::unique_ptr<CSkelton> skeleton;
  std::vector<std::unique_ptr<CCharacterBase>> tiles;
  std::string problems;  // what loading printed on stderr

  FieldScene() {
    problems = stderrOf([&] {
      skeleton = std::make_unique<CSkelton>(&scene, &camera);
      if (!skeleton->Load(u"./model/skelton.mdl", u"SKELTON", nullptr, 1)) return;
      scene.firstList.append(skeleton.get());
      scene.LoadAnimation(u"./model/walk.ani", u"WALK");
      scene.LoadAnimation(u"./model/stand.ani", u"STAND");
      scene.BindAnimations();
      scene.SetSkeletonScale(0.4f, 0.4f, 0.4f, 0.4f);
      scene.SetSkeletonPosition(0, 0, 0);
      skeleton->SetAnimation(u"STAND", 3.0f);
      for (int row = 1; row <= 7; ++row) {
        for (int column = 1; column <= 7; ++column) {
          auto tile = std::make_unique<CCharacterBase>(&scene, &camera);
          std::u16string path = u"./model/field/" + text::fromUtf8(tileStem(row, column)) + u".mdl";
          if (!tile->Load(path, tileName(row, column), nullptr, 0)) continue;
          scene.thirdList.append(tile.get());
          tile->SetScale(2000, 2000, 2000, 2000);
          tiles.push_back(std::move(tile));
        }
      }
    });
  }

  // One frame as the frame thread runs it, after one keyboard poll.
  void frame(const uint8_t keys[kKeyboardStateSize]) {
    scene.DispatchKeyboard(keys);
    scene.UpdateObjects();
    scene.AdvanceAnimationClocks(1);
    scene.UpdatePoses();
    scene.LateUpdateObjects();
  }

  // The tile whose own mesh collider lies under (x, y) in tile model units, or null.
  const CCharacterBase* tileUnder(float x, float y) const {
    float ground[4];
    for (const auto& tile : tiles) {
      if (FindGround(*tile->colliders, x, y, ground)) return tile.get();
    }
    return nullptr;
  }
};

// Whether the line from the scene view's eye to the skeleton's feet stays above the ground.
bool feetInSight(const FieldScene& s, std::string& why) {
  const float* eye = s.camera.sceneViewEye;
  const float* feet = s.skeleton->meshSet->position;
  for (int i = 0; i < 32; ++i) {
    float t = static_cast<float>(i) / 32;
    float x = eye[0] + (feet[0] - eye[0]) * t, y = eye[1] + (feet[1] - eye[1]) * t;
    float z = eye[2] + (feet[2] + 0.5f - eye[2]) * t;
    float ground[4];
    if (s.scene.QueryGroundHeight(x / 2000, y / 2000, ground) && ground[2] * 2000 >= z) {
      why = "the ground hides the feet at " + std::to_string(x) + ", " + std::to_string(y);
      return false;
    }
  }
  return true;
}

// Whether every vertex of the skeleton lies inside the scene view's clip volume.
bool wholeFigureInView(const FieldScene& s, std::string& why) {
  FrameConstantImage image{};
  s.camera.UpdateSceneView(image, nullptr);
  // The image holds both matrices column by column.
  Matrix4 view, projection, viewProjection;
  std::copy_n(image.begin() + frame_constants::kSceneView, 16, view.begin());
  std::copy_n(image.begin() + frame_constants::kSceneProjection, 16, projection.begin());
  MatrixMultiply(viewProjection, TransposeMatrix(view), TransposeMatrix(projection));
  for (const Point& p : skinnedVertices(*s.skeleton->meshSet)) {
    float in[4] = {p.x, p.y, p.z, 1}, clip[4];
    TransformRow(clip, in, viewProjection);
    if (clip[3] <= 0 || std::fabs(clip[0]) > clip[3] || std::fabs(clip[1]) > clip[3]) {
      why = "vertex (" + std::to_string(p.x) + ", " + std::to_string(p.y) + ", " +
            std::to_string(p.z) + ") outside the view";
      return false;
    }
  }
  return true;
}

// ---- Files ---------------------------------------------------------------------------------

// The triangles of a polygon list as corner positions.
std::vector<std::array<float, 3>> corners(const FloatArray* positions,
                                          const std::vector<int32_t>& indices) {
  std::vector<std::array<float, 3>> out;
  for (int32_t i : indices) {
    std::size_t at = static_cast<std::size_t>(i) * 3;
    if (positions == nullptr || i < 0 || at + 2 >= positions->values.size()) return {};
    out.push_back({positions->values[at], positions->values[at + 1], positions->values[at + 2]});
  }
  return out;
}

const FloatArray* findArray(const std::vector<std::unique_ptr<FloatArray>>& arrays,
                            const std::u16string& id) {
  for (const auto& a : arrays) {
    if (a->id == id) return a.get();
  }
  return nullptr;
}

TEST_F(Content, EveryFileReadsCleanlyWithTheExpectedParts) {
  // The skeleton, its collider file, textures and both animations.
  ModelData skeleton;
  ColliderSet shapes;
  bool read = false, walk = false, stand = false;
  std::string problems = stderrOf([&] {
    read = loadModelFile(skeleton, "model/skelton.mdl", [&] {
      ReadColliderFile(shapes, text::toUtf8(skeleton.colliderFilePath));
      for (const auto& t : skeleton.textures) {
        EXPECT_TRUE(fs::is_regular_file(text::toUtf8(t->fileName)));
      }
    });
    walk = readAni(skeleton, "model/walk.ani");
    stand = readAni(skeleton, "model/stand.ani");
  });
  EXPECT_TRUE(read && walk && stand);
  EXPECT_EQ(problems, "");
  EXPECT_GE(skeleton.bones.size(), 15u);
  EXPECT_LE(skeleton.bones.size(), static_cast<std::size_t>(kMaxSkinMatrices));
  EXPECT_FALSE(skeleton.textures.empty());
  ASSERT_EQ(skeleton.geometries.size(), 1u);
  const Geometry& body = *skeleton.geometries[0];
  EXPECT_EQ(body.weightCount, body.vertexCount);
  for (const auto& list : body.polygonLists) {
    EXPECT_NE(skeleton.findMaterial(list->materialId), nullptr);
    EXPECT_EQ(corners(body.findFloatArray(list->vertexId), list->vertexIndices).size(),
              list->vertexIndices.size());
    EXPECT_EQ(list->vertexIndices.size() % 3, 0u);
  }
  ASSERT_EQ(skeleton.animations.size(), 2u);
  EXPECT_EQ(skeleton.animations[0]->id, u"WALK");
  EXPECT_EQ(skeleton.animations[1]->id, u"STAND");
  for (const auto& animation : skeleton.animations) {
    EXPECT_GE(animation->tracks.size(), 10u);
    for (const auto& track : animation->tracks) {
      EXPECT_NE(track->bone, nullptr) << text::toUtf8(track->target);
      ASSERT_GE(track->keyTimes.size(), 2u);
      EXPECT_EQ(track->keyTimes.size(), track->poses.size());
      EXPECT_EQ(track->keyTimes.front(), 0.0f);
      EXPECT_TRUE(std::is_sorted(track->keyTimes.begin(), track->keyTimes.end()));
    }
  }

  // Sphere or capsule colliders, each bound to one bone (index 0 is never used by the
  // collider transform), covering the head, the pelvis and both feet.
  EXPECT_GE(shapes.colliders.size(), 4u);
  std::vector<std::string> boundTo;
  for (const auto& c : shapes.colliders) {
    EXPECT_TRUE(c->colliderType == kColliderSphere || c->colliderType == kColliderCapsule);
    EXPECT_GT(c->radius, 0.0f);
    ASSERT_FALSE(c->floatArrays.empty());
    EXPECT_GE(c->floatArrays[0]->count(), c->colliderType == kColliderCapsule ? 2 : 1);
    BoneWeight w = c->weights.at(0, 0);
    int bone = static_cast<int>(w.boneIndex);
    ASSERT_GE(bone, 1);
    ASSERT_LT(bone, static_cast<int>(skeleton.bones.size()));
    EXPECT_NEAR(w.weight, 1.0f, 1e-6f);
    boundTo.push_back(text::toUtf8(skeleton.bones[static_cast<std::size_t>(bone)]->name));
  }
  auto bound = [&](const std::string& part) {
    return std::count_if(boundTo.begin(), boundTo.end(), [&](const std::string& name) {
      return name.find(part) != std::string::npos;
    });
  };
  EXPECT_GE(bound("Head"), 1);
  EXPECT_GE(bound("Pelvis"), 1);
  EXPECT_GE(bound("Foot"), 2);

  // The 49 tiles: one textured mesh each, with one mesh collider of exactly its triangles, and
  // a tint of their own that stays subtle.
  float tintLow = 1e9f, tintHigh = -1e9f;
  for (int row = 1; row <= 7; ++row) {
    for (int column = 1; column <= 7; ++column) {
      SCOPED_TRACE(tileStem(row, column));
      ModelData tile;
      ColliderSet ground;
      problems = stderrOf([&] {
        read = loadModelFile(tile, "model/field/" + tileStem(row, column) + ".mdl", [&] {
          ReadColliderFile(ground, text::toUtf8(tile.colliderFilePath));
          for (const auto& t : tile.textures) {
            EXPECT_TRUE(fs::is_regular_file(text::toUtf8(t->fileName)));
          }
        });
      });
      EXPECT_TRUE(read);
      EXPECT_EQ(problems, "");
      EXPECT_FALSE(tile.textures.empty());
      EXPECT_TRUE(tile.bones.empty());
      ASSERT_EQ(tile.geometries.size(), 1u);
      std::vector<std::array<float, 3>> mesh;
      for (const auto& list : tile.geometries[0]->polygonLists) {
        auto c = corners(tile.geometries[0]->findFloatArray(list->vertexId), list->vertexIndices);
        mesh.insert(mesh.end(), c.begin(), c.end());
      }
      ASSERT_EQ(ground.colliders.size(), 1u);
      const Collider& c = *ground.colliders[0];
      EXPECT_EQ(c.colliderType, kColliderMesh);
      ASSERT_EQ(c.polygonLists.size(), 1u);
      EXPECT_EQ(c.cornerCount, static_cast<int32_t>(c.polygonLists[0]->vertexIndices.size()));
      EXPECT_FALSE(mesh.empty());
      EXPECT_TRUE(mesh == corners(findArray(c.floatArrays, c.polygonLists[0]->vertexId),
                                  c.polygonLists[0]->vertexIndices));
      ASSERT_FALSE(tile.materials.empty());
      tintLow = std::min(tintLow, tile.materials[0]->diffuse[1]);
      tintHigh = std::max(tintHigh, tile.materials[0]->diffuse[1]);
    }
  }
  EXPECT_GT(tintHigh - tintLow, 0.02f);
  EXPECT_LT(tintHigh - tintLow, 0.25f);

  // The viewer's own --info sees the skeleton and both animations the same way.
  Output run = runCommand(quoted(MV_PROGRAM) +
                          " --info model/skelton.mdl --ani model/walk.ani --ani model/stand.ani");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  auto count = [&](const std::string& fragment) {
    std::size_t n = 0;
    for (std::size_t at = run.out.find(fragment); at != std::string::npos;
         at = run.out.find(fragment, at + 1))
      ++n;
    return n;
  };
  EXPECT_GE(count("\"bound\": true"), 20u);
  EXPECT_EQ(count("\"bound\": true"), count("\"target\""));
  EXPECT_EQ(count("\"bound\": false"), 0u);
}

// Every number and index of `read` equals the one in `built`: the text formats carry the
// generator's floats exactly. Bone indices compare as the whole numbers they stand for.
void expectSameArrays(const std::vector<std::unique_ptr<FloatArray>>& read,
                      const std::vector<std::unique_ptr<FloatArray>>& built) {
  ASSERT_EQ(read.size(), built.size());
  for (std::size_t i = 0; i < read.size(); ++i) {
    EXPECT_EQ(read[i]->id, built[i]->id);
    EXPECT_EQ(read[i]->tupleSize, built[i]->tupleSize);
    EXPECT_TRUE(read[i]->values == built[i]->values) << text::toUtf8(read[i]->id);
  }
}

void expectSameWeights(const WeightTable& read, const WeightTable& built) {
  ASSERT_EQ(read.rows, built.rows);
  for (int64_t row = 0; row < read.rows; ++row) {
    for (int slot = 0; slot < WeightTable::kInfluences; ++slot) {
      BoneWeight r = read.at(row, slot), b = built.at(row, slot);
      ASSERT_EQ(static_cast<int>(r.boneIndex), static_cast<int>(b.boneIndex)) << "row " << row;
      ASSERT_EQ(r.weight, b.weight) << "row " << row;
    }
  }
}

void expectSameColliders(const ColliderSet& read, const ColliderSet& built) {
  ASSERT_EQ(read.colliders.size(), built.colliders.size());
  for (std::size_t i = 0; i < read.colliders.size(); ++i) {
    const Collider &r = *read.colliders[i], &b = *built.colliders[i];
    EXPECT_EQ(r.colliderType, b.colliderType);
    EXPECT_EQ(r.radius, b.radius);
    EXPECT_EQ(r.cornerCount, b.cornerCount);
    expectSameArrays(r.floatArrays, b.floatArrays);
    ASSERT_EQ(r.polygonLists.size(), b.polygonLists.size());
    for (std::size_t k = 0; k < r.polygonLists.size(); ++k) {
      EXPECT_EQ(r.polygonLists[k]->vertexIndices, b.polygonLists[k]->vertexIndices);
    }
    expectSameWeights(r.weights, b.weights);
  }
}

void expectSameModel(const ModelData& read, const ModelData& built) {
  ASSERT_EQ(read.geometries.size(), built.geometries.size());
  for (std::size_t g = 0; g < read.geometries.size(); ++g) {
    const Geometry &r = *read.geometries[g], &b = *built.geometries[g];
    expectSameArrays(r.floatArrays, b.floatArrays);
    ASSERT_EQ(r.polygonLists.size(), b.polygonLists.size());
    for (std::size_t k = 0; k < r.polygonLists.size(); ++k) {
      EXPECT_EQ(r.polygonLists[k]->vertexIndices, b.polygonLists[k]->vertexIndices);
      EXPECT_EQ(r.polygonLists[k]->texIndices, b.polygonLists[k]->texIndices);
    }
    expectSameWeights(r.weights, b.weights);
  }
  ASSERT_EQ(read.bones.size(), built.bones.size());
  for (std::size_t i = 0; i < read.bones.size(); ++i) {
    EXPECT_EQ(read.bones[i]->name, built.bones[i]->name);
    EXPECT_TRUE(read.bones[i]->jointMatrix == built.bones[i]->jointMatrix);
    EXPECT_TRUE(read.bones[i]->invBindMatrix == built.bones[i]->invBindMatrix);
  }
}

TEST_F(Content, FilesHoldExactlyWhatTheGeneratorBuilt) {
  auto skeleton = content::makeSkeletonModel();
  ModelData read;
  ColliderSet shapes;
  std::string problems = stderrOf([&] {
    loadModelFile(read, "model/skelton.mdl", [&] { ReadColliderFile(shapes, "skelton.cdr"); });
    readAni(read, "model/walk.ani");
    readAni(read, "model/stand.ani");
  });
  EXPECT_EQ(problems, "");
  expectSameModel(read, *skeleton);
  expectSameColliders(shapes, *content::makeSkeletonColliders());
  std::unique_ptr<AnimationSet> built[] = {content::makeWalkAnimation(*skeleton),
                                           content::makeStandAnimation(*skeleton)};
  ASSERT_EQ(read.animations.size(), 2u);
  for (std::size_t a = 0; a < 2; ++a) {
    ASSERT_EQ(read.animations[a]->tracks.size(), built[a]->tracks.size());
    for (std::size_t t = 0; t < built[a]->tracks.size(); ++t) {
      EXPECT_TRUE(read.animations[a]->tracks[t]->keyTimes == built[a]->tracks[t]->keyTimes);
      EXPECT_TRUE(read.animations[a]->tracks[t]->poses == built[a]->tracks[t]->poses);
    }
  }
  for (int row = 1; row <= 7; ++row) {
    for (int column = 1; column <= 7; ++column) {
      SCOPED_TRACE(tileStem(row, column));
      ModelData tile;
      ColliderSet ground;
      problems = stderrOf([&] {
        loadModelFile(tile, "model/field/" + tileStem(row, column) + ".mdl",
                      [&] { ReadColliderFile(ground, tileStem(row, column) + ".cdr"); });
      });
      EXPECT_EQ(problems, "");
      expectSameModel(tile, *content::makeTileModel(row, column));
      expectSameColliders(ground, *content::makeTileColliders(row, column));
    }
  }
}

TEST_F(Content, GeneratorWritesTheSameBytesEveryRun) {
  fs::path again = makeTempFolder();
  ASSERT_FALSE(again.empty());
  Output run = generate(again);
  EXPECT_EQ(run.status, 0);
  std::set<fs::path> first, second;
  for (const auto& e : fs::recursive_directory_iterator(GeneratedContent::root)) {
    if (e.is_regular_file()) first.insert(fs::relative(e.path(), GeneratedContent::root));
  }
  for (const auto& e : fs::recursive_directory_iterator(again)) {
    if (e.is_regular_file()) second.insert(fs::relative(e.path(), again));
  }
  EXPECT_EQ(first, second);
  EXPECT_EQ(first.size(), 5u + 49u * 2u + 1u + 6u);
  for (const fs::path& file : first) {
    EXPECT_TRUE(readAll(GeneratedContent::root / file) == readAll(again / file)) << file;
  }
  fs::remove_all(again);
}

// ---- The skeleton --------------------------------------------------------------------------

TEST_F(Content, SkeletonIsWeightedSizedAndTurnedAsStartUpExpects) {
  FieldScene s;
  ASSERT_EQ(s.problems, "");
  MeshSet& set = *s.skeleton->meshSet;
  // Every vertex follows one to four bones, with weights that sum to one.
  const GpuGeometry& body = **set.geometries.at(0);
  std::vector<int> influenceCount(body.vertices.size());
  for (std::size_t v = 0; v < body.vertices.size(); ++v) {
    float sum = 0;
    for (const BoneWeight& w : body.vertices[v].bones) {
      if (w.weight <= 0) continue;
      ++influenceCount[v];
      sum += w.weight;
      EXPECT_GE(static_cast<int>(w.boneIndex), 0);
      EXPECT_LT(static_cast<int>(w.boneIndex), set.bones.count());
    }
    ASSERT_NEAR(sum, 1.0f, 1e-5f) << "vertex " << v;
    ASSERT_GE(influenceCount[v], 1);
    ASSERT_LE(influenceCount[v], 4);
  }

  // Every joint between two bones that carry vertices bends smoothly: near the joint some
  // vertices are shared between the two bones.
  std::vector<int> carried(static_cast<std::size_t>(set.bones.count()));
  for (const ModelVertex& v : body.vertices) {
    for (const BoneWeight& w : v.bones) {
      if (w.weight > 0) ++carried[static_cast<std::size_t>(w.boneIndex)];
    }
  }
  int joints = 0;
  for (int64_t b = 0; b < set.bones.count(); ++b) {
    const MeshBone* bone = *set.bones.at(b);
    int parent = bone->parent != nullptr ? boneIndexOf(set, bone->parent) : -1;
    if (parent < 0 || carried[static_cast<std::size_t>(b)] == 0 ||
        carried[static_cast<std::size_t>(parent)] == 0) {
      continue;
    }
    ++joints;
    Point joint = origin(restGlobal(bone));
    int shared = 0;
    for (std::size_t v = 0; v < body.vertices.size(); ++v) {
      const ModelVertex& vertex = body.vertices[v];
      if (distance({vertex.position[0], vertex.position[1], vertex.position[2]}, joint) > 1.5f) {
        continue;
      }
      float onBone = 0, onParent = 0;
      for (const BoneWeight& w : vertex.bones) {
        if (static_cast<int>(w.boneIndex) == b) onBone += w.weight;
        if (static_cast<int>(w.boneIndex) == parent) onParent += w.weight;
      }
      if (onBone > 0.05f && onParent > 0.05f) ++shared;
    }
    EXPECT_GE(shared, 10) << text::toUtf8(bone->name) << " joint";
  }
  EXPECT_GE(joints, 12);

  // Start-up leaves it at scale 0.4 at the origin; the rest pose shows its shape.
  selectRestPose(set);
  UpdatePose(set);
  std::vector<Point> points = skinnedVertices(set);
  float minZ = 1e9f, maxZ = -1e9f, minX = 1e9f, maxX = -1e9f;
  for (const Point& p : points) {
    minZ = std::min(minZ, p.z);
    maxZ = std::max(maxZ, p.z);
  }
  EXPECT_NEAR(minZ, 0.0f, 0.05f);
  EXPECT_GE(maxZ - minZ, 8.0f);
  EXPECT_LE(maxZ - minZ, 10.0f);

  // It faces -y, so the walk's rotation by heading + 90 turns it to face its heading: at heading
  // 0 its toes point along +x, further than its heels reach back, and it stays centred.
  s.skeleton->SetRotation(0, 0, 0 + 90);
  UpdatePose(set);
  points = skinnedVertices(set);
  float footFront = -1e9f, footBack = 1e9f, meanY = 0;
  for (const Point& p : points) {
    minX = std::min(minX, p.x);
    maxX = std::max(maxX, p.x);
    meanY += p.y;
    if (p.z < 0.4f) {
      footFront = std::max(footFront, p.x);
      footBack = std::min(footBack, p.x);
    }
  }
  meanY /= static_cast<float>(points.size());
  EXPECT_GT(footFront, 2 * -footBack) << "toes ahead of the heels";
  EXPECT_NEAR(meanY, 0.0f, 0.2f);
  EXPECT_LT(maxX - minX, 3.0f);
}

TEST_F(Content, SkeletonRestPoseIsIdentityAndAnimationsLoopHoldTogetherAndWalk) {
  FieldScene s;
  ASSERT_EQ(s.problems, "");
  MeshSet& set = *s.skeleton->meshSet;
  ASSERT_EQ(set.animations.count(), 2);

  // The bones' inverse bind matrices undo their rest transforms, so a rotation in a pose turns
  // a limb about its own joint.
  for (int64_t b = 0; b < set.bones.count(); ++b) {
    const MeshBone* bone = *set.bones.at(b);
    Matrix4 product;
    MatrixMultiply(product, restGlobal(bone), bone->invBindMatrix);
    for (int i = 0; i < 16; ++i) {
      ASSERT_NEAR(product[i], kIdentityMatrix[i], 1e-5f) << text::toUtf8(bone->name);
    }
  }

  // The rest pose: an animation that moves nothing.
  selectRestPose(set);
  UpdatePose(set);
  for (int64_t b = 0; b < set.bones.count(); ++b) {
    const Matrix4& skin = (*set.bones.at(b))->skinMatrix;
    for (int i = 0; i < 16; ++i) ASSERT_NEAR(skin[i], kIdentityMatrix[i], 1e-5f);
  }

  for (int32_t a = 0; a < 2; ++a) {
    const MeshAnimation& animation = **set.animations.at(a);
    SCOPED_TRACE(text::toUtf8(animation.name));
    float last = 0;
    for (int64_t t = 0; t < animation.tracks.count(); ++t) {
      const MeshBoneTrack& track = **animation.tracks.at(t);
      for (int i = 0; i < 16; ++i) {
        EXPECT_NEAR(track.poses.back()[i], track.poses.front()[i], 1e-4f);
      }
      last = std::max(last, track.keyTimes.back());
    }
    // The skinning at key 0 and past the last key (where the pose holds the last key).
    selectWithoutFade(set, a, a == 0 ? 10.0f : 3.0f);
    set.clock = 0;
    UpdatePose(set);
    std::vector<Matrix4> start;
    for (int64_t b = 0; b < set.bones.count(); ++b) start.push_back((*set.bones.at(b))->skinMatrix);
    set.clock = static_cast<int64_t>(std::ceil(last * 50 / set.speed)) + 1;
    UpdatePose(set);
    EXPECT_EQ(set.clock.load(), 0) << "the pose ran past the last key";
    for (int64_t b = 0; b < set.bones.count(); ++b) {
      for (int i = 0; i < 16; ++i) {
        EXPECT_NEAR((*set.bones.at(b))->skinMatrix[i], start[static_cast<std::size_t>(b)][i],
                    1e-4f);
      }
    }

    // Through a whole cycle every joint stays where its parent bone carries it (within the
    // small lifts the poses add) and the soles stay near the floor.
    int frames = static_cast<int>(std::ceil(last * 50 / set.speed));
    float lowest = 1e9f, highest = -1e9f;
    std::vector<std::vector<Point>> joints;  // per sampled frame, per bone, model space
    for (int f = 0; f <= frames; f += std::max(1, frames / 30)) {
      set.clock = f;
      UpdatePose(set);
      joints.emplace_back();
      for (int64_t b = 0; b < set.bones.count(); ++b) {
        const MeshBone* bone = *set.bones.at(b);
        Point joint = origin(restGlobal(bone));
        joints.back().push_back(transformPoint(joint, bone->skinMatrix));
        if (bone->parent == nullptr || bone->parent->parent == nullptr) continue;
        float gap = distance(joints.back().back(), transformPoint(joint, bone->parent->skinMatrix));
        ASSERT_LT(gap, 0.1f) << text::toUtf8(bone->name) << " at frame " << f;
      }
      float low = 1e9f;
      for (const Point& p : skinnedVertices(set)) low = std::min(low, p.z);
      lowest = std::min(lowest, low);
      highest = std::max(highest, low);
    }
    // Model units: the figure is about 22 tall, so this is a few percent of its height.
    EXPECT_GT(lowest, -0.6f);
    EXPECT_LT(highest, 0.6f);

    auto at = [&](std::size_t frame, const char16_t* name) {
      int b = boneNamed(set, name);
      EXPECT_GE(b, 0) << text::toUtf8(name);
      return b < 0 ? Point{} : joints[frame][static_cast<std::size_t>(b)];
    };
    if (animation.name == u"WALK") {
      // Forward is -y. The feet take turns in front, each hand swings with the other foot, the
      // knees bend and the pelvis bobs.
      float feetApart[2] = {0, 0}, armAgainstLeg = 0, handsApart = 0, knee[2] = {0, 0};
      float pelvisLow = 1e9f, pelvisHigh = -1e9f;
      for (std::size_t f = 0; f < joints.size(); ++f) {
        float feet = at(f, u"FootL").y - at(f, u"FootR").y;
        float hands = at(f, u"HandL").y - at(f, u"HandR").y;
        feetApart[0] = std::min(feetApart[0], feet);
        feetApart[1] = std::max(feetApart[1], feet);
        armAgainstLeg += feet * hands;
        handsApart = std::max(handsApart, std::fabs(hands));
        for (int side = 0; side < 2; ++side) {
          Point hip = at(f, side == 0 ? u"ThighL" : u"ThighR"),
                kneeJoint = at(f, side == 0 ? u"ShinL" : u"ShinR"),
                ankle = at(f, side == 0 ? u"FootL" : u"FootR");
          Point thigh{kneeJoint.x - hip.x, kneeJoint.y - hip.y, kneeJoint.z - hip.z};
          Point shin{ankle.x - kneeJoint.x, ankle.y - kneeJoint.y, ankle.z - kneeJoint.z};
          float cosine = (thigh.x * shin.x + thigh.y * shin.y + thigh.z * shin.z) /
                         (distance(thigh, {}) * distance(shin, {}));
          knee[side] = std::max(knee[side], std::acos(std::clamp(cosine, -1.0f, 1.0f)) * 57.29578f);
        }
        pelvisLow = std::min(pelvisLow, at(f, u"Pelvis").z);
        pelvisHigh = std::max(pelvisHigh, at(f, u"Pelvis").z);
      }
      EXPECT_LT(feetApart[0], -2.0f);
      EXPECT_GT(feetApart[1], 2.0f);
      EXPECT_LT(armAgainstLeg, 0.0f) << "arms swing against the legs";
      EXPECT_GT(handsApart, 1.0f);
      EXPECT_GT(knee[0], 20.0f);
      EXPECT_GT(knee[1], 20.0f);
      EXPECT_GT(pelvisHigh - pelvisLow, 0.1f);
      EXPECT_LT(pelvisHigh - pelvisLow, 1.5f);
    } else {
      // The idle breathes: something moves, nothing far.
      float most = 0;
      for (std::size_t f = 0; f < joints.size(); ++f) {
        for (std::size_t b = 0; b < joints[f].size(); ++b) {
          most = std::max(most, distance(joints[f][b], joints[0][b]));
        }
      }
      EXPECT_GT(most, 0.05f);
      EXPECT_LT(most, 0.6f);
    }
  }
}

// ---- The field -----------------------------------------------------------------------------

// Distance in x/y from (x, y) to the nearest edge of any tile triangle.
float nearestEdge(const FieldScene& s, float x, float y) {
  float best = 1e9f;
  for (const auto& tile : s.tiles) {
    const Collider& c = *tile->colliders->colliders[0];
    for (int k = 0; k + 2 < c.cornerCount; k += 3) {
      for (int e = 0; e < 3; ++e) {
        const float* a = c.worldVertices[static_cast<std::size_t>(k + e)].position;
        const float* b = c.worldVertices[static_cast<std::size_t>(k + (e + 1) % 3)].position;
        float dx = b[0] - a[0], dy = b[1] - a[1];
        float t = std::clamp(((x - a[0]) * dx + (y - a[1]) * dy) / (dx * dx + dy * dy), 0.0f, 1.0f);
        best = std::min(best, std::hypot(x - a[0] - t * dx, y - a[1] - t * dy));
      }
    }
  }
  return best;
}

TEST_F(Content, FieldIsOneGroundWithTheOriginInsideTheCentreTile) {
  FieldScene s;
  ASSERT_EQ(s.problems, "");
  ASSERT_EQ(s.tiles.size(), 49u);

  // The field's extent from the tiles' own bounds.
  float lo[2] = {1e9f, 1e9f}, hi[2] = {-1e9f, -1e9f};
  for (const auto& tile : s.tiles) {
    for (int i = 0; i < 2; ++i) {
      lo[i] = std::min(lo[i], tile->colliders->boundsMin[i]);
      hi[i] = std::max(hi[i], tile->colliders->boundsMax[i]);
    }
  }
  // Start-up scales the tiles by 2000 and the skeleton walks 1 unit a frame: the field must be
  // a walk of several hundred frames across, in the tiles' model units.
  EXPECT_GT(hi[0] - lo[0], 0.5f);
  EXPECT_GT(hi[1] - lo[1], 0.5f);

  // Neighbouring tiles meet exactly: every corner on a tile's border, away from the field's
  // edge, is a corner of another tile too, bit for bit, so there is no crack to fall through.
  std::map<std::array<float, 3>, int> tilesWithCorner;
  for (const auto& tile : s.tiles) {
    std::set<std::array<float, 3>> own;
    for (const ColliderVertex& v : tile->colliders->colliders[0]->worldVertices) {
      own.insert({v.position[0], v.position[1], v.position[2]});
    }
    for (const auto& corner : own) ++tilesWithCorner[corner];
  }
  int borderCorners = 0;
  for (const auto& tile : s.tiles) {
    const ColliderSet& set = *tile->colliders;
    for (const ColliderVertex& v : set.colliders[0]->worldVertices) {
      float x = v.position[0], y = v.position[1];
      bool onBorder = x == set.boundsMin[0] || x == set.boundsMax[0] || y == set.boundsMin[1] ||
                      y == set.boundsMax[1];
      bool onFieldEdge = x == lo[0] || x == hi[0] || y == lo[1] || y == hi[1];
      if (!onBorder || onFieldEdge) continue;
      ++borderCorners;
      ASSERT_GE((tilesWithCorner[{x, y, v.position[2]}]), 2)
          << text::toUtf8(tile->name) << " corner " << x << ", " << y << " has no partner";
    }
  }
  EXPECT_GT(borderCorners, 0);

  // A grid over the field and a margin around it, not aligned with the tiles' own grid.
  const int n = 150;
  const float margin = 0.05f;
  float step[2] = {(hi[0] - lo[0] + 2 * margin) / n, (hi[1] - lo[1] + 2 * margin) / n};
  std::vector<float> heights(static_cast<std::size_t>((n + 1) * (n + 1)), NAN);
  int found = 0, onEdges = 0;
  for (int j = 0; j <= n; ++j) {
    for (int i = 0; i <= n; ++i) {
      float x = lo[0] - margin + step[0] * static_cast<float>(i) + 1.3e-4f;
      float y = lo[1] - margin + step[1] * static_cast<float>(j) + 0.7e-4f;
      bool inside = x > lo[0] && x < hi[0] && y > lo[1] && y < hi[1];
      float ground[4];
      bool hit = s.scene.QueryGroundHeight(x, y, ground);
      if (!inside) {
        ASSERT_FALSE(hit) << "ground outside the field at " << x << ", " << y;
        continue;
      }
      if (!hit) {
        ++onEdges;
        ASSERT_LT(nearestEdge(s, x, y), 1e-5f) << "no ground at " << x << ", " << y;
        continue;
      }
      ++found;
      EXPECT_EQ(ground[0], x);
      EXPECT_EQ(ground[1], y);
      // Well inside the query's segment from z = 1 to z = -1.
      ASSERT_LT(std::fabs(ground[2]), 0.1f);
      heights[static_cast<std::size_t>(j * (n + 1) + i)] = ground[2];
    }
  }
  EXPECT_GT(found, n * n * 3 / 4);
  EXPECT_LT(onEdges, n);
  // No step anywhere, tile borders included: neighbouring heights differ as a gentle slope
  // allows (a grid step is about 11 world units). Yet the ground rolls by a few world units.
  float steepest = 0, lowest = 1e9f, highest = -1e9f;
  for (int j = 0; j < n; ++j) {
    for (int i = 0; i < n; ++i) {
      float h = heights[static_cast<std::size_t>(j * (n + 1) + i)];
      float right = heights[static_cast<std::size_t>(j * (n + 1) + i + 1)];
      float up = heights[static_cast<std::size_t>((j + 1) * (n + 1) + i)];
      if (!std::isnan(h)) {
        lowest = std::min(lowest, h);
        highest = std::max(highest, h);
      }
      if (!std::isnan(h) && !std::isnan(right)) {
        steepest = std::max(steepest, std::fabs(right - h) / step[0]);
      }
      if (!std::isnan(h) && !std::isnan(up)) {
        steepest = std::max(steepest, std::fabs(up - h) / step[1]);
      }
    }
  }
  EXPECT_LT(steepest, 0.3f);
  EXPECT_GT((highest - lowest) * 2000, 2.0f) << "a rolling terrain, not a plane";

  // The origin, where the skeleton starts, is off every edge of the centre tile.
  EXPECT_EQ(s.tileUnder(0, 0), s.tiles[3 * 7 + 3].get());
  EXPECT_EQ(s.tiles[3 * 7 + 3]->name, u"Field4_4");
  EXPECT_GT(nearestEdge(s, 0, 0), 1e-4f);
}

TEST_F(Content, WalkingAcrossTileBordersKeepsTheSkeletonOnTheGround) {
  FieldScene s;
  ASSERT_EQ(s.problems, "");
  CSkelton& skeleton = *s.skeleton;
  uint8_t none[kKeyboardStateSize] = {}, up[kKeyboardStateSize] = {};
  up[kKeyUp] = 0x80;

  // Standing at start-up, the whole figure is in the scene view.
  for (int f = 0; f < 10; ++f) s.frame(none);
  std::string why;
  EXPECT_TRUE(wholeFigureInView(s, why)) << "standing: " << why;
  EXPECT_TRUE(feetInSight(s, why)) << "standing: " << why;

  // Walk at an angle, so the path crosses borders in both directions.
  skeleton.heading = 30;
  const CCharacterBase* tile = s.tileUnder(0, 0);
  int borders = 0;
  float previousZ = skeleton.meshSet->position[2];
  for (int f = 0; f < 640; ++f) {
    s.frame(up);
    const float* p = skeleton.meshSet->position;
    float ground[4];
    ASSERT_TRUE(s.scene.QueryGroundHeight(p[0] / 2000, p[1] / 2000, ground)) << "frame " << f;
    ASSERT_NEAR(p[2], ground[2] * 2000, 1e-3f) << "frame " << f;
    ASSERT_LT(std::fabs(p[2] - previousZ), 0.5f) << "frame " << f;
    previousZ = p[2];
    const CCharacterBase* now = s.tileUnder(p[0] / 2000, p[1] / 2000);
    if (now != nullptr && now != tile) {
      ++borders;
      tile = now;
    }
    ASSERT_TRUE(feetInSight(s, why)) << "frame " << f << ": " << why;
    if (f % 40 == 39) {
      EXPECT_TRUE(wholeFigureInView(s, why)) << "walking, frame " << f << ": " << why;
    }
  }
  EXPECT_GE(borders, 3);
  EXPECT_EQ(skeleton.walkFactor, 1.0f);
}

// ---- Images ----------------------------------------------------------------------------

struct Picture {
  int width = 0, height = 0, channels = 0;
  std::vector<uint8_t> rgba;
};

bool loadPicture(const std::string& path, Picture& picture) {
  stbi_uc* pixels = stbi_load(path.c_str(), &picture.width, &picture.height, &picture.channels, 4);
  if (pixels == nullptr) return false;
  picture.rgba.assign(pixels,
                      pixels + static_cast<std::size_t>(picture.width) * picture.height * 4);
  stbi_image_free(pixels);
  return true;
}

TEST_F(Content, ImagesDecodeAsBoneGrassAndSmallTransparentButtons) {
  // The textures: light bone with some mottling, green grass with some variation.
  struct Tone {
    const char* path;
    float meanRed = 0, meanGreen = 0, meanBlue = 0, spread = 0;
  };
  Tone tones[2] = {{"model/skelton.png"}, {"model/field/grass.png"}};
  for (Tone& tone : tones) {
    Picture picture;
    ASSERT_TRUE(loadPicture(tone.path, picture)) << tone.path << ": " << stbi_failure_reason();
    double sum[3] = {}, squares = 0;
    std::size_t n = picture.rgba.size() / 4;
    for (std::size_t i = 0; i < picture.rgba.size(); i += 4) {
      for (int c = 0; c < 3; ++c) sum[c] += picture.rgba[i + static_cast<std::size_t>(c)];
      squares += static_cast<double>(picture.rgba[i + 1]) * picture.rgba[i + 1];
    }
    tone.meanRed = static_cast<float>(sum[0] / static_cast<double>(n));
    tone.meanGreen = static_cast<float>(sum[1] / static_cast<double>(n));
    tone.meanBlue = static_cast<float>(sum[2] / static_cast<double>(n));
    tone.spread = static_cast<float>(
        std::sqrt(squares / static_cast<double>(n) - tone.meanGreen * tone.meanGreen));
  }
  EXPECT_GT(tones[0].meanRed, 180.0f);
  EXPECT_GT(tones[0].meanGreen, 170.0f);
  EXPECT_GT(tones[0].meanRed, tones[0].meanBlue) << "warm, not grey";
  EXPECT_GT(tones[0].spread, 3.0f);
  EXPECT_GT(tones[1].meanGreen, tones[1].meanRed);
  EXPECT_GT(tones[1].meanGreen, tones[1].meanBlue);
  EXPECT_GT(tones[1].spread, 5.0f);

  // The title-bar buttons, normal and pressed.
  const char* names[] = {"ButtonClose", "ButtonSize", "ButtonMin"};
  for (const char* name : names) {
    std::vector<std::vector<uint8_t>> states;
    for (const char* suffix : {"", "Down"}) {
      std::string path = std::string("pict/") + name + suffix + ".png";
      SCOPED_TRACE(path);
      Picture picture;
      ASSERT_TRUE(loadPicture(path, picture)) << stbi_failure_reason();
      EXPECT_EQ(picture.width, 28);
      EXPECT_EQ(picture.height, 28);
      EXPECT_EQ(picture.channels, 4);
      int clear = 0, visible = 0, white = 0;
      const std::vector<uint8_t>& rgba = picture.rgba;
      for (std::size_t i = 0; i < rgba.size(); i += 4) {
        if (rgba[i + 3] == 0) ++clear;
        if (rgba[i + 3] >= 128) ++visible;
        if (rgba[i] == 255 && rgba[i + 1] == 255 && rgba[i + 2] == 255 && rgba[i + 3] == 255) {
          ++white;
        }
      }
      EXPECT_GT(clear, 0) << "transparent corners";
      EXPECT_GT(visible, 28 * 28 / 3) << "a visible plate";
      // Pure white is the main window's transparent colour.
      EXPECT_EQ(white, 0);
      states.push_back(rgba);
    }
    EXPECT_NE(states[0], states[1]) << name << ": pressed looks like normal";
  }
}

}  // namespace
