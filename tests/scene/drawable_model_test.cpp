// The drawable model built from real exports and crafted documents: shared meshes, vertex
// colours, materials that never draw black, images found and decoded (TIFF too), points that
// are not finite kept out of the bounds, and clips that pose the nodes they animate.
#include "scene/drawable_model.h"

#include <gtest/gtest.h>
#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const fs::path kTestdata = MV_TESTDATA_DIR "/collada";

// A document with one triangle under material "m" (its diffuse `effect`) and `images`; the
// positions as `positions` writes them.
std::string document(const std::string& images, const std::string& effect, const std::string& positions = "0 0 0 1 0 0 0 1 0",
                     const std::string& extraInputs = "", const std::string& extraSources = "") {
  return "<COLLADA><library_images>" + images + "</library_images><library_effects><effect id='fx'><profile_COMMON>"
         "<newparam sid='surf'><surface type='2D'><init_from>img</init_from></surface></newparam><newparam sid='samp'>"
         "<sampler2D><source>surf</source></sampler2D></newparam><technique sid='t'><lambert>" + effect +
         "</lambert></technique></profile_COMMON></effect></library_effects><library_materials><material id='m'>"
         "<instance_effect url='#fx'/></material></library_materials><library_geometries><geometry id='g'><mesh>"
         "<source id='p'><float_array count='9'>" + positions + "</float_array><technique_common><accessor stride='3'/>"
         "</technique_common></source>" + extraSources + "<vertices id='v'><input semantic='POSITION' source='#p'/>" +
         extraInputs + "</vertices><triangles count='1' material='m'><input semantic='VERTEX' source='#v' offset='0'/>"
         "<p>0 1 2</p></triangles></mesh></geometry></library_geometries><library_visual_scenes><visual_scene id='s'>"
         "<node><instance_geometry url='#g'><bind_material><technique_common><instance_material symbol='m' target='#m'/>"
         "</technique_common></bind_material></instance_geometry></node></visual_scene></library_visual_scenes></COLLADA>";
}

class DrawableModels : public testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_); }
  void TearDown() override { fs::remove_all(dir_); }
  std::shared_ptr<DrawableModel> load(const std::string& name, const std::string& text) {
    std::ofstream(dir_ / name) << text;
    return loadDrawableModel(dir_ / name);
  }
  const fs::path dir_ = fs::temp_directory_path() / ("drawable_model_test_" + std::to_string(::getpid()));
};

const MeshPrimitive& onlyPrimitive(const DrawableModel& model) {
  EXPECT_EQ(model.meshes.size(), 1u);
  return model.meshes.at(0).primitives.at(0);
}

const MaterialDescription& materialOf(const DrawableModel& model, const MeshPrimitive& p) {
  return model.materials.at(static_cast<std::size_t>(p.material));
}

TEST_F(DrawableModels, RealExportsShareMeshesShowVertexColoursAndNeverDrawBlack) {
  // Colours given in the vertices element, and colour sources of four components.
  for (const char* file : {"khronos-cts/position_color/position_color.dae", "assimp/Collada/kwxport_test_vcolors.dae"}) {
    SCOPED_TRACE(file);
    std::shared_ptr<DrawableModel> model = loadDrawableModel(kTestdata / file);
    ASSERT_NE(model, nullptr);
    const MeshPrimitive& p = model->meshes.at(0).primitives.at(0);
    ASSERT_EQ(p.colors.size(), p.vertexCount() * 4);
    EXPECT_NE(std::adjacent_find(p.colors.begin(), p.colors.end(), std::not_equal_to<>()), p.colors.end());
    // Its textures are not shipped: every material still shows a colour.
    for (const Mesh& mesh : model->meshes) {
      for (const MeshPrimitive& q : mesh.primitives) {
        const MaterialDescription& m = materialOf(*model, q);
        EXPECT_GT(m.baseColor[0] + m.baseColor[1] + m.baseColor[2], 0.3f) << m.name;
      }
    }
  }
}

TEST_F(DrawableModels, AGeometryPlacedManyTimesIsOneMesh) {
  std::string text = document("", "<diffuse><color>1 1 1 1</color></diffuse>");
  const std::string node = "<node><instance_geometry url='#g'><bind_material><technique_common><instance_material "
                           "symbol='m' target='#m'/></technique_common></bind_material></instance_geometry></node>";
  const std::string placed = "<node><translate>5 0 0</translate>" + node + "</node><node><translate>0 5 0</translate>" +
                             node + "</node>";
  text.insert(text.find("</visual_scene>"), placed);
  std::shared_ptr<DrawableModel> model = load("placed.dae", text);
  ASSERT_NE(model, nullptr);
  EXPECT_EQ(model->meshes.size(), 1u);
  EXPECT_EQ(model->instances.size(), 3u);
  // A document without an up axis is Y up: its y is the viewer's z.
  EXPECT_FLOAT_EQ(model->bounds.max[0], 6);
  EXPECT_FLOAT_EQ(model->bounds.max[2], 6);
}

TEST_F(DrawableModels, ImagesAreFoundDecodedOnceAndMissingOnesLeaveAColour) {
  // A TIFF under another letter case than the document writes, used by two materials' texture.
  TIFF* tiff = TIFFOpen((dir_ / "Skin.TIF").c_str(), "w");
  ASSERT_NE(tiff, nullptr);
  uint8_t row[8] = {255, 0, 0, 255, 0, 255, 0, 255};
  TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, 2);
  TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, 1);
  TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, 4);
  TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  uint16_t extra = EXTRASAMPLE_UNASSALPHA;
  TIFFSetField(tiff, TIFFTAG_EXTRASAMPLES, 1, &extra);
  TIFFWriteScanline(tiff, row, 0, 0);
  TIFFClose(tiff);
  const std::string textured = "<diffuse><texture texture='samp' texcoord='uv'/></diffuse>";
  testing::internal::CaptureStderr();
  std::shared_ptr<DrawableModel> found =
      load("found.dae", document("<image id='img'><init_from>file:///C:/Users/someone/skin.tif</init_from></image>", textured));
  const std::string said = testing::internal::GetCapturedStderr();
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->images.at(0).width, 2);
  EXPECT_TRUE(materialOf(*found, onlyPrimitive(*found)).baseColorTexture.present());
  EXPECT_NE(said.find("is not at"), std::string::npos) << said;
  EXPECT_NE(said.find("Skin.TIF"), std::string::npos) << said;

  // A texture that is missing: the material's ambient colour, else light grey, never black.
  std::shared_ptr<DrawableModel> ambient =
      load("ambient.dae", document("<image id='img'><init_from>none.png</init_from></image>",
                                   "<ambient><color>0.8 0.2 0.1 1</color></ambient>" + textured));
  std::shared_ptr<DrawableModel> grey =
      load("grey.dae", document("<image id='img'><init_from>none.png</init_from></image>", textured));
  ASSERT_TRUE(ambient && grey);
  const MaterialDescription& a = materialOf(*ambient, onlyPrimitive(*ambient));
  EXPECT_FALSE(a.baseColorTexture.present());
  EXPECT_GT(a.baseColor[0], a.baseColor[1] * 4);
  const MaterialDescription& g = materialOf(*grey, onlyPrimitive(*grey));
  EXPECT_FLOAT_EQ(g.baseColor[0], g.baseColor[2]);
  EXPECT_GT(g.baseColor[0], 0.3f);
  EXPECT_LT(g.baseColor[0], 0.9f);
}

TEST_F(DrawableModels, PointsThatAreNotFiniteStayOutOfTheBounds) {
  const std::string colour = "<diffuse><color>1 1 1 1</color></diffuse>";
  testing::internal::CaptureStderr();
  std::shared_ptr<DrawableModel> model = load("nan.dae", document("", colour, "0 0 0 1 0 0 0 1 0"));
  std::shared_ptr<DrawableModel> broken = load("broken.dae", document("", colour, "0 0 0 1 0 0 nan 1e39 0"));
  testing::internal::GetCapturedStderr();
  ASSERT_NE(model, nullptr);
  EXPECT_FLOAT_EQ(model->bounds.max[0], 1);
  // The only triangle has a corner that is not finite: nothing is left to draw.
  EXPECT_EQ(broken, nullptr);
}

TEST_F(DrawableModels, ClipsPoseTheNodesTheyAnimateAndSkinsFollowTheirJoints) {
  std::shared_ptr<DrawableModel> model = loadDrawableModel(kTestdata / "assimp/Collada/box_nested_animation.dae");
  ASSERT_NE(model, nullptr);
  ASSERT_FALSE(model->animations.empty());
  ASSERT_FALSE(model->skins.empty());
  const AnimationClip& clip = model->animations.front();
  ModelPose start, later;
  SamplePose(*model, clip, 0, start);
  ComposeWorlds(*model, start);
  SamplePose(*model, clip, clip.duration(), later);
  ComposeWorlds(*model, later);
  std::vector<Matrix4> first, last;
  JointMatrices(*model, start, 0, first);
  JointMatrices(*model, later, 0, last);
  EXPECT_NE(first, last) << "the clip moves the skin's joint";
  EXPECT_FALSE(PosedBounds(*model, later).empty);
}

}  // namespace
