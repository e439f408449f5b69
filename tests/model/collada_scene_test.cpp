// The scene reading: instances, bounds and bound materials of real exports, and small crafted
// documents for each transformation element, primitive kind, reference cycles and symbols.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "model/collada_import.h"
#include "model/model_data.h"
#include "model/model_scene.h"
#include "platform/text.h"

namespace {

namespace fs = std::filesystem;

struct Box {
  float min[3];
  float max[3];
};

// Bounds agree within 0.1% of the expected box's diagonal.
void expectBounds(const SceneBounds& got, const Box& want) {
  ASSERT_FALSE(got.empty);
  double diagonal = 0;
  for (int k = 0; k < 3; ++k) diagonal += std::pow(want.max[k] - want.min[k], 2.0);
  const double tolerance = std::max(1e-6, 0.001 * std::sqrt(diagonal));
  for (int k = 0; k < 3; ++k) {
    EXPECT_NEAR(got.min[k], want.min[k], tolerance) << "min " << k;
    EXPECT_NEAR(got.max[k], want.max[k], tolerance) << "max " << k;
  }
}

// Every instance's bound materials, primitives separated by " ", instances by "|".
std::string boundMaterials(const ModelScene& scene) {
  std::string out;
  for (const SceneInstance& instance : scene.instances) {
    if (!out.empty()) out += "|";
    const std::span<const std::u16string> materials = scene.materialsOf(instance);
    for (std::size_t p = 0; p < materials.size(); ++p) {
      if (p > 0) out += ' ';
      out += text::toUtf8(materials[p]);
    }
  }
  return out;
}

// Expected values from Assimp 5.2.5 (ReadFile without post-processing): meshes placed by
// walking its node tree, their vertices taken back from its Y-up metres to the document's
// Z-up frame and units. Assimp makes one mesh per material where we keep one instance of a
// geometry with several primitives, so instances are its nodes' distinct geometries, and
// its material names are mapped to the ids of library_materials by hand. Assimp leaves
// skinned meshes without their bind shape matrix: for the four skinned files that matrix
// was applied to its box by hand (a translation by (-1, 1, 1) in box_nested_animation, a
// quarter turn x' = z, z' = -x in skin_2_influence, near identity in the letter-f files).
struct TestdataCase {
  const char* file;
  std::size_t instances;
  Box bounds;
  const char* materials;
};

const TestdataCase kTestdata[] = {
    {"collada-dae-parser/test/fixture/letter-f-animated.dae", 1, {{-1, -1, -1}, {3, 1, 5}}, ""},
    {"collada-dae-parser/test/fixture/parent-child-child-letter-f.dae", 1,
     {{-1, -1, -1}, {4, 1, 5}}, "Material-material"},
    {"assimp/Collada/box_nested_animation.dae", 1, {{-1, -1, 0}, {1, 1, 2}}, "Material-material"},
    {"assimp/Collada/cube_with_2UVs.DAE", 1, {{-1, -1, 0}, {1, 1, 2}},
     "ColorEffectR138G8B110-material"},
    {"assimp/Collada/kwxport_test_vcolors.dae", 1, {{-19.685f, -19.685f, -19.685f}, {19.685f, 19.685f, 19.6851f}},
     "bottom top side"},
    {"gazebo-models/bus_stop/meshes/head.dae", 1, {{-1.5f, 0, -0.8f}, {1.5f, 0.607276f, 0.8f}},
     "plastic-material"},
    {"gazebo-models/speed_limit_sign/meshes/speed_limit_sign.dae", 1,
     {{-1.53219f, -0.205954f, 0}, {1.53219f, -0.0894192f, 9.29219f}},
     "Sign_Post-material Sign-material"},
    {"gazebo-models/cafe_table/meshes/cafe_table.dae", 4, {{-18, -18, 0}, {18, 18, 30.5f}},
     "ID39|ID5 ID14|ID14|ID14"},
    {"gazebo-models/washer/meshes/washer.dae", 1,
     {{-0.017357f, -0.001f, -0.017357f}, {0.017357f, 0.001f, 0.017357f}}, "default"},
    {"khronos-cts/semantic_texcoord_multi_set/semantic_texcoord_multi_set.dae", 2,
     {{-105, -50, -50}, {105, -50, 50}}, "lambert1|lambert2"},
    {"khronos-cts/position_color/position_color.dae", 1, {{-75, -75, -75}, {75, -75, 75}}, "lambert1"},
    {"khronos-cts/skin_2_influence/skin_2_influence.dae", 1,
     {{-104.755f, -50, -50}, {104.755f, 50, 50}}, "lambert1"},
    {"gazebo-models/euro_pallet/meshes/pallet.dae", 1, {{-3.975f, -6, -1.22f}, {3.975f, 6, 0.22f}},
     "pallet_mat-material pallet_box_mat-material"},
    {"assimp/Collada/Cinema4D.dae", 3, {{-100, -310.63f, -100}, {314.019f, 100, 100}}, "ID1|ID1|ID1"},
};

TEST(ColladaSceneTestdata, InstancesBoundsAndMaterialsOfRealExports) {
  const fs::path dir = fs::path(MV_TESTDATA_DIR) / "collada";
  if (!fs::is_directory(dir)) GTEST_SKIP() << "SKIPPED: no COLLADA test files at " << dir;
  for (const TestdataCase& c : kTestdata) {
    SCOPED_TRACE(c.file);
    ModelData model;
    ASSERT_TRUE(importCollada(model, dir / c.file));
    ASSERT_NE(model.scene, nullptr);
    EXPECT_EQ(model.scene->instances.size(), c.instances);
    expectBounds(sceneBounds(model, *model.scene), c.bounds);
    EXPECT_EQ(boundMaterials(*model.scene), c.materials);
    for (const SceneInstance& instance : model.scene->instances) {
      if (!instance.skinned) continue;
      // Every joint of these skins is a node under the skeleton roots.
      const std::span<const std::u16string> joints = model.scene->jointsOf(instance);
      EXPECT_FALSE(joints.empty());
      EXPECT_EQ(std::count(joints.begin(), joints.end(), u""), 0);
    }
  }
}

// ---- crafted documents ----

std::string dae(const std::string& upAxis, const std::string& body) {
  return "<COLLADA xmlns='http://www.collada.org/2005/11/COLLADASchema' version='1.4.1'>"
         "<asset><unit meter='0.01'/><up_axis>" + upAxis + "</up_axis></asset>" + body +
         "</COLLADA>";
}

// Geometry "g": the unit square (0,0,0) (1,0,0) (1,1,0) (0,1,0), with `primitives`.
std::string square(const std::string& primitives) {
  return "<library_geometries><geometry id='g'><mesh>"
         "<source id='pos'><float_array count='12'>0 0 0 1 0 0 1 1 0 0 1 0</float_array>"
         "<technique_common><accessor stride='3'/></technique_common></source>"
         "<vertices id='v'><input semantic='POSITION' source='#pos'/></vertices>" +
         primitives + "</mesh></geometry></library_geometries>";
}

const std::string kTriangles = "<triangles count='2' material='sym'><input semantic='VERTEX' "
                               "source='#v' offset='0'/><p>0 1 2 0 2 3</p></triangles>";

std::string sceneOf(const std::string& nodes, const std::string& library = "") {
  return library + "<library_visual_scenes><visual_scene id='s'>" + nodes +
         "</visual_scene></library_visual_scenes><scene><instance_visual_scene url='#s'/></scene>";
}

std::string placed(const std::string& transforms, const std::string& bind = "") {
  return "<node id='n'>" + transforms + "<instance_geometry url='#g'>" + bind +
         "</instance_geometry></node>";
}

struct CraftedCase {
  const char* name;
  std::string document;
  std::size_t instances;
  std::size_t triangles;  // of the geometry, every primitive the scene reads
  Box bounds;
  const char* materials;
  const char* warning;  // a part of the only warning line; empty: none
};

// A chain of library nodes, each instancing the next twice: 2^21 instances before the cap.
std::string doublingChain() {
  std::string library = "<library_nodes>";
  for (int i = 0; i < 21; ++i) {
    std::string next = "#c" + std::to_string(i + 1);
    library += "<node id='c" + std::to_string(i) + "'><instance_node url='" + next +
               "'/><instance_node url='" + next + "'/></node>";
  }
  library += "<node id='c21'><instance_geometry url='#g'/></node></library_nodes>";
  return dae("Z_UP", square(kTriangles) + sceneOf("<node id='top'><instance_node url='#c0'/></node>", library));
}

std::vector<CraftedCase> craftedCases() {
  const std::string z = "Z_UP";
  return {
      {"translate", dae(z, square(kTriangles) + sceneOf(placed("<translate>1 2 3</translate>"))),
       1, 2, {{1, 2, 3}, {2, 3, 3}}, "sym", ""},
      {"rotate", dae(z, square(kTriangles) + sceneOf(placed("<rotate>0 0 1 90</rotate>"))),
       1, 2, {{-1, 0, 0}, {0, 1, 0}}, "sym", ""},
      {"scale", dae(z, square(kTriangles) + sceneOf(placed("<scale>2 3 4</scale>"))),
       1, 2, {{0, 0, 0}, {2, 3, 0}}, "sym", ""},
      {"matrix, as written", dae(z, square(kTriangles) +
                                        sceneOf(placed("<matrix>1 0 0 5 0 1 0 0 0 0 1 0 0 0 0 1</matrix>"))),
       1, 2, {{5, 0, 0}, {6, 1, 0}}, "sym", ""},
      {"elements in document order", dae(z, square(kTriangles) +
                                                sceneOf(placed("<translate>1 0 0</translate><scale>2 2 2</scale>"))),
       1, 2, {{1, 0, 0}, {3, 2, 0}}, "sym", ""},
      {"lookat", dae(z, square(kTriangles) + sceneOf(placed("<lookat>0 0 5 0 0 0 0 1 0</lookat>"))),
       1, 2, {{0, 0, 5}, {1, 1, 5}}, "sym", ""},
      {"skew", dae(z, square(kTriangles) + sceneOf(placed("<skew>45 1 0 0 0 1 0</skew>"))),
       1, 2, {{0, 0, 0}, {1, 2, 0}}, "sym", ""},
      {"parent world first", dae(z, square(kTriangles) +
                                        sceneOf("<node id='p'><scale>2 2 2</scale>" +
                                                placed("<translate>1 0 0</translate>") + "</node>")),
       1, 2, {{2, 0, 0}, {4, 2, 0}}, "sym", ""},
      {"Y up", dae("Y_UP", square(kTriangles) + sceneOf(placed(""))), 1, 2, {{0, 0, 0}, {1, 0, 1}}, "sym", ""},
      {"X up", dae("X_UP", square(kTriangles) + sceneOf(placed(""))), 1, 2, {{-1, 0, 0}, {0, 0, 1}}, "sym", ""},
      {"polygons with a hole", dae(z, square("<polygons material='sym'><input semantic='VERTEX' "
                                             "source='#v' offset='0'/><p>0 1 2 3</p><ph><p>0 1 2</p>"
                                             "<h>0 0 0</h></ph></polygons>") + sceneOf(placed(""))),
       1, 3, {{0, 0, 0}, {1, 1, 0}}, "sym", "holes"},
      {"trifans and tristrips", dae(z, square("<trifans material='a'><input semantic='VERTEX' source='#v' "
                                              "offset='0'/><p>0 1 2 3</p></trifans><tristrips material='b'>"
                                              "<input semantic='VERTEX' source='#v' offset='0'/><p>0 1 3 2</p>"
                                              "</tristrips>") + sceneOf(placed(""))),
       1, 4, {{0, 0, 0}, {1, 1, 0}}, "a b", ""},
      {"triangles beside a polylist", dae(z, square("<polylist material='a'><input semantic='VERTEX' "
                                                   "source='#v' offset='0'/><vcount>3</vcount><p>0 1 2</p>"
                                                   "</polylist>" + kTriangles) + sceneOf(placed(""))),
       1, 3, {{0, 0, 0}, {1, 1, 0}}, "a sym", ""},
      {"lines skipped", dae(z, square(kTriangles + "<lines><input semantic='VERTEX' source='#v' offset='0'/>"
                                      "<p>0 1</p></lines><points/>") + sceneOf(placed(""))),
       1, 2, {{0, 0, 0}, {1, 1, 0}}, "sym", "lines, points skipped"},
      {"bound symbol", dae(z, square(kTriangles) +
                                  sceneOf(placed("", "<bind_material><technique_common><instance_material "
                                                     "symbol='other' target='#x'/><instance_material "
                                                     "symbol='sym' target='#mat'/></technique_common>"
                                                     "</bind_material>"))),
       1, 2, {{0, 0, 0}, {1, 1, 0}}, "mat", ""},
      {"shared node instanced twice", dae(z, square(kTriangles) +
                                                 sceneOf("<node id='a'><instance_node url='#lib'/>"
                                                         "<node id='b'><translate>0 0 1</translate>"
                                                         "<instance_node url='#lib'/></node></node>",
                                                         "<library_nodes><node id='lib'><instance_geometry "
                                                         "url='#g'/></node></library_nodes>")),
       2, 2, {{0, 0, 0}, {1, 1, 1}}, "sym|sym", ""},
      {"reference cycle", dae(z, square(kTriangles) +
                                     sceneOf("<node id='a'><instance_node url='#lib'/></node>",
                                             "<library_nodes><node id='lib'><instance_geometry url='#g'/>"
                                             "<node id='inner'><instance_node url='#lib'/></node></node>"
                                             "</library_nodes>")),
       1, 2, {{0, 0, 0}, {1, 1, 0}}, "sym", "refers back to itself"},
      {"instances capped", doublingChain(), 1000000, 2, {{0, 0, 0}, {1, 1, 0}}, "", "instances; the rest skipped"},
  };
}

TEST(ColladaSceneCrafted, TransformsPrimitivesSymbolsAndCycles) {
  for (const CraftedCase& c : craftedCases()) {
    SCOPED_TRACE(c.name);
    std::FILE* sink = std::tmpfile();
    ModelData model;
    ASSERT_TRUE(importColladaText(model, c.document, "crafted.dae", sink));
    std::rewind(sink);
    std::string messages;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, sink) != nullptr) messages += buffer;
    std::fclose(sink);

    const ModelScene& scene = *model.scene;
    EXPECT_EQ(scene.unitMeter, 0.01);
    ASSERT_EQ(scene.instances.size(), c.instances);
    std::size_t triangles = 0;
    for (const ScenePrimitive& p : scene.geometries[0].primitives) {
      triangles += p.triangles->vertexIndices.size() / 3;
    }
    EXPECT_EQ(triangles, c.triangles);
    expectBounds(sceneBounds(model, scene), c.bounds);
    if (c.instances < 10) {
      EXPECT_EQ(boundMaterials(scene), c.materials);
    }
    if (*c.warning == '\0') {
      EXPECT_TRUE(messages.empty()) << messages;
    } else {
      EXPECT_NE(messages.find(c.warning), std::string::npos) << messages;
      EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1) << messages;
    }
  }
}

// The world of a Z-up node with one rotate (axis and degrees), worked out here in double:
// rows of column vectors, as the scene keeps it.
std::vector<double> rotationWorld(double x, double y, double z, double degrees) {
  const double length = std::sqrt(x * x + y * y + z * z);
  if (length == 0) return {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  x /= length, y /= length, z /= length;
  const double a = degrees * 3.14159265358979323846 / 180, c = std::cos(a), s = std::sin(a), t = 1 - c;
  return {t * x * x + c,     t * x * y - s * z, t * x * z + s * y, 0,
          t * x * y + s * z, t * y * y + c,     t * y * z - s * x, 0,
          t * x * z - s * y, t * y * z + s * x, t * z * z + c,     0,
          0,                 0,                 0,                 1};
}

TEST(ColladaSceneCrafted, EveryNodeGetsItsOwnTransformAmongManyAlike) {
  // Translations written in every form the number reading meets, with the values they stand for.
  const std::vector<std::pair<std::string, std::array<float, 3>>> numbers = {
      {"1 2 3", {1, 2, 3}},         {"-1 -2.5 30", {-1, -2.5f, 30}},  {"  7\n8 9 ", {7, 8, 9}},
      {"1e1 0 0", {10, 0, 0}},      {"+2 0 0", {2, 0, 0}},            {"5", {5, 0, 0}},
      {"1\t2\t3", {1, 2, 3}},       {".5 5. 0", {0.5f, 5, 0}},        {"3x 4 0", {3, 4, 0}},
      {"123456789012345678 0 0", {static_cast<float>(123456789012345678.0), 0, 0}},             {"-0 0.125 -7", {-0.0f, 0.125f, -7}}};
  // More distinct angles than the reading keeps, the same angle about different axes, a
  // zero axis, an axis not of length 1; then all of them again, in another order.
  std::vector<std::array<double, 4>> rotations;
  for (int i = 0; i < 2300; ++i) rotations.push_back({0, 0, 1, i * 0.25});
  for (int axis = 0; axis < 3; ++axis) rotations.push_back({axis == 0 ? 1.0 : 0, axis == 1 ? 1.0 : 0, axis == 2 ? 1.0 : 0, 30});
  rotations.push_back({0, 0, 0, 30});
  rotations.push_back({0, 2, 0, 45});
  for (int i = static_cast<int>(rotations.size()) - 1; i >= 0; i -= 3) rotations.push_back(rotations[static_cast<std::size_t>(i)]);

  // Each placed through instance_node, so that the id table grows past its first size; a
  // second node with a taken id is not the one placed.
  std::string library = "<library_nodes>", nodes;
  char text[160];
  for (std::size_t i = 0; i < numbers.size() + rotations.size(); ++i) {
    std::string transform;
    if (i < numbers.size()) {
      transform = "<translate>" + numbers[i].first + "</translate>";
    } else {
      const auto& r = rotations[i - numbers.size()];
      std::snprintf(text, sizeof text, "<rotate>%g %g %g %g</rotate>", r[0], r[1], r[2], r[3]);
      transform = text;
    }
    library += "<node id='L" + std::to_string(i) + "'>" + transform + "<instance_geometry url='#g'/></node>";
    nodes += "<node id='n" + std::to_string(i) + "'><instance_node url='#L" + std::to_string(i) + "'/></node>";
  }
  library += "<node id='L0'><translate>9 9 9</translate></node></library_nodes>";
  ModelData model;
  ASSERT_TRUE(importColladaText(model, dae("Z_UP", square(kTriangles) + sceneOf(nodes, library)), "many.dae",
                                nullptr));
  const std::vector<SceneInstance>& instances = model.scene->instances;
  ASSERT_EQ(instances.size(), numbers.size() + rotations.size());
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    SCOPED_TRACE(numbers[i].first);
    for (int k = 0; k < 3; ++k) EXPECT_EQ(instances[i].world[k * 4 + 3], numbers[i].second[k]) << k;
  }
  for (std::size_t i = 0; i < rotations.size(); ++i) {
    const auto& r = rotations[i];
    const std::vector<double> want = rotationWorld(r[0], r[1], r[2], r[3]);
    const Matrix4& got = instances[numbers.size() + i].world;
    for (int k = 0; k < 16; ++k) {
      ASSERT_NEAR(got[k], want[static_cast<std::size_t>(k)], 1e-6) << "rotation " << i << " entry " << k;
    }
  }
}

TEST(ColladaSceneCrafted, AnimatedNodesGetOneTrackOverTheUnionOfTheirKeys) {
  // rotateZ.ANGLE keyed at 0 and 2, translate.X at 1: the node's track has keys 0, 1, 2, the
  // angle at 1 interpolated, the x held before its one key. A clip takes the first animation.
  auto source = [](const std::string& id, const std::string& values, int count) {
    return "<source id='" + id + "'><float_array count='" + std::to_string(count) + "'>" + values +
           "</float_array></source>";
  };
  auto animation = [&](const std::string& id, const std::string& times, const std::string& values,
                       int keys, const std::string& target) {
    return "<animation id='" + id + "'>" + source(id + "-t", times, keys) +
           source(id + "-v", values, keys) + "<sampler id='" + id + "-s'><input semantic='INPUT' source='#" +
           id + "-t'/><input semantic='OUTPUT' source='#" + id + "-v'/></sampler><channel source='#" + id +
           "-s' target='" + target + "'/></animation>";
  };
  std::string document = dae(
      "Z_UP", square(kTriangles) +
                  "<library_animations><animation id='outer'>" +
                  animation("spin", "0 2", "0 90", 2, "n/rz.ANGLE") + "</animation>" +
                  animation("move", "1", "5", 1, "n/t.X") + animation("moved", "1", "5", 1, "n/t(1)") +
                  "</library_animations><library_animation_clips><animation_clip id='clip'>"
                  "<instance_animation url='#outer'/></animation_clip></library_animation_clips>" +
                  sceneOf(placed("<translate sid='t'>0 0 0</translate><rotate sid='rz'>0 0 1 0</rotate>")));
  ModelData model;
  ASSERT_TRUE(importColladaText(model, document, "anim.dae", nullptr));
  const ModelScene& scene = *model.scene;
  ASSERT_EQ(scene.animations.size(), 2u);
  EXPECT_EQ(scene.animations[0]->id, u"clip");
  EXPECT_EQ(scene.animations[1]->id, u"ColladaAnim_001");
  ASSERT_EQ(scene.animations[0]->tracks.size(), 1u);
  const BoneTrack& spin = *scene.animations[0]->tracks[0];
  EXPECT_EQ(spin.target, u"n");
  EXPECT_EQ(spin.keyTimes, (std::vector<float>{0, 2}));
  // 90 degrees about z at the last key: column vectors, x goes to y.
  EXPECT_NEAR(spin.poses[1][4], 1.0f, 1e-6f);
  ASSERT_EQ(scene.animations[1]->tracks.size(), 1u);
  const BoneTrack& move = *scene.animations[1]->tracks[0];
  EXPECT_EQ(move.keyTimes, (std::vector<float>{1}));
  EXPECT_EQ(move.poses[0][3], 5.0f);  // x translation in the last column
  EXPECT_EQ(move.poses[0][7], 5.0f);
  // The exact import's set is untouched: its tracks are the flat animations' channels.
  ASSERT_EQ(model.animations.size(), 1u);
}

TEST(ColladaSceneCrafted, ImageUrisResolveFromTheDocumentFolder) {
  std::string document = dae(
      "Z_UP", "<library_images><image id='a'><init_from>file:///abs/My%20Tex.png</init_from></image>"
              "<image id='b'><init_from>..\\tex\\b.tga</init_from></image>"
              "<image id='c'><init_from>file://./c.jpg</init_from></image></library_images>");
  ModelData model;
  ASSERT_TRUE(importColladaText(model, document, "models/car/car.dae", nullptr));
  const std::vector<SceneImage>& images = model.scene->images;
  ASSERT_EQ(images.size(), 3u);
  EXPECT_EQ(images[0].path, "/abs/My Tex.png");
  EXPECT_EQ(images[1].path, "models/tex/b.tga");
  EXPECT_EQ(images[1].written, "..\\tex\\b.tga");
  EXPECT_EQ(images[2].path, "models/car/c.jpg");

}

}  // namespace
