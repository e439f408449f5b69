// `modelviewer --info` on COLLADA documents: the same JSON as for the same model in a .mdl file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "app/info_command.h"

namespace {

namespace fs = std::filesystem;

// One model twice: a material with a texture, a triangle with texture coordinates, two bones
// Root -> Arm weighting the three vertices, and one animated bone.
const char kWalkerMdl[] =
    "<MODEL_ID>\nWalker\n"
    "<MATERIAL_BEGIN>\n<MATERIAL_NAME> Skin\n<TEXTURE_NAME> tex0\n<MATERIAL_END>\n"
    "<TEXTURE_BEGIN>\n<TEXTURE_ID> tex0\n<TEXTURE_NAME> skin.png\n<TEXTURE_END>\n"
    "<GEOMETRY_BEGIN>\n<GEOMETRY_ID> Body\n<VERTEX_COUNT> 3\n"
    "<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_ID> pos\n<FLOAT_ARRAY_FLOAT_COUNT> 3\n"
    "<FLOAT_ARRAY_COUNT> 3\n<FLOAT_ARRAY>\n0 0 0 1 0 0 0 1 0\n<FLOAT_ARRAY_END>\n"
    "<FLOAT_ARRAY_BEGIN>\n<FLOAT_ARRAY_ID> uv\n<FLOAT_ARRAY_FLOAT_COUNT> 2\n"
    "<FLOAT_ARRAY_COUNT> 3\n<FLOAT_ARRAY>\n0 0 1 0 0.5 1\n<FLOAT_ARRAY_END>\n"
    "<POLYGON_DATA_BEGIN>\n<MATERIAL_ID> Skin\n<VERTEX_ID> pos\n<VERTEX_INDEX_COUNT> 3\n0 1 2\n"
    "<TEX_INDEX_COUNT> 3\n0 1 2\n<TEX_ID_COUNT> 1\nuv\n<POLYGON_DATA_END>\n"
    "<WEIGHTS_BEGIN>\n<WEIGHTS_SIZE> 3\n<APPLY_BONE_NUM> 8\n"
    "0 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 "
    "1 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 "
    "1 0.5 0 0.5 0 0 0 0 0 0 0 0 0 0 0 0\n<WEIGHTS_END>\n"
    "<GEOMETRY_END>\n"
    "<BONE_ARRAY>\nRoot Arm\n"
    "<BONE>\n<BONE_NAME> Root\n<BONE_ID> root_id\n<BONE_TYPE> 1\n<CHILD_COUNT> 1\n"
    "<BONE>\n<BONE_NAME> Arm\n<BONE_ID> arm_id\n<BONE_TYPE> 2\n<CHILD_COUNT> 0\n";

const char kWalkerAni[] =
    "<TARGET_MODEL_ID>\nWalker\n<ANIMATION_ID>\nColladaAnim_001\n<ANIMATION_BEGIN>\n"
    "<TARGET> arm_id\n<KEY_TIME>\n0 0.5 1\n<POSE_MATRIX>\n"
    "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n"
    "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1\n<POSE_MATRIX_END>\n<ANIMATION_END>\n";

const char kIdentity3[] =
    "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1 1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1 "
    "1 0 0 0 0 1 0 0 0 0 1 0 0 0 0 1";

const std::string kWalkerDae = std::string(
    "<?xml version='1.0' encoding='utf-8'?>\n"
    "<COLLADA xmlns='http://www.collada.org/2005/11/COLLADASchema' version='1.4.1'>\n"
    "<library_images><image id='tex0'><init_from>skin.png</init_from></image></library_images>\n"
    "<library_effects><effect id='Skin-fx'><profile_COMMON>"
    "<newparam sid='s-surface'><surface type='2D'><init_from>tex0</init_from></surface></newparam>"
    "<newparam sid='s-sampler'><sampler2D><source>s-surface</source></sampler2D></newparam>"
    "<technique sid='common'><phong><diffuse><texture texture='s-sampler' texcoord='UV'/>"
    "</diffuse></phong></technique></profile_COMMON></effect></library_effects>\n"
    "<library_materials><material id='Skin'><instance_effect url='#Skin-fx'/></material>"
    "</library_materials>\n"
    "<library_geometries><geometry id='Body'><mesh>"
    "<source id='pos-src'><float_array count='9'>0 0 0 1 0 0 0 1 0</float_array>"
    "<technique_common><accessor stride='3'/></technique_common></source>"
    "<source id='uv'><float_array count='6'>0 0 1 0 0.5 1</float_array>"
    "<technique_common><accessor stride='2'/></technique_common></source>"
    "<vertices id='pos'><input semantic='POSITION' source='#pos-src'/></vertices>"
    "<triangles material='Skin' count='1'><input semantic='VERTEX' source='#pos' offset='0'/>"
    "<input semantic='TEXCOORD' source='#uv' offset='1'/><p>0 0 1 1 2 2</p></triangles>"
    "</mesh></geometry></library_geometries>\n"
    "<library_controllers><controller id='skin'><skin source='#Body'>"
    "<source id='joints'><Name_array count='2'>Root Arm</Name_array></source>"
    "<source id='ibm'><float_array count='32'>") + kIdentity3 + std::string(
    "</float_array></source>"
    "<source id='w'><float_array count='3'>1 0.5 0</float_array></source>"
    "<joints><input semantic='JOINT' source='#joints'/>"
    "<input semantic='INV_BIND_MATRIX' source='#ibm'/></joints>"
    "<vertex_weights count='3'><input semantic='JOINT' source='#joints' offset='0'/>"
    "<input semantic='WEIGHT' source='#w' offset='1'/><vcount>1 1 2</vcount>"
    "<v>0 0 1 0 1 1 0 1</v></vertex_weights></skin></controller></library_controllers>\n"
    "<library_visual_scenes><visual_scene id='s'><node id='root_id' sid='Root' type='NODE'>"
    "<node id='arm_id' sid='Arm' type='JOINT'/></node></visual_scene></library_visual_scenes>\n"
    "<library_animations><animation id='a'><source id='in'><float_array count='3'>0 0.5 1"
    "</float_array></source><source id='out'><float_array count='48'>") + kIdentity3 +
    std::string("</float_array></source><sampler id='smp'><input semantic='INPUT' source='#in'/>"
    "<input semantic='OUTPUT' source='#out'/></sampler>"
    "<channel source='#smp' target='arm_id/transform'/></animation></library_animations>\n"
    "</COLLADA>\n");

void write(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

struct InfoRun {
  int status = -1;
  std::string json;
  std::string errors;
};

InfoRun runInfo(const std::vector<std::string>& args) {
  InfoRun run;
  std::FILE* out = std::tmpfile();
  testing::internal::CaptureStderr();
  run.status = runInfoCommand(args, out);
  run.errors = testing::internal::GetCapturedStderr();
  std::rewind(out);
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0) run.json.append(buffer, n);
  std::fclose(out);
  return run;
}

class InfoCollada : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("info_collada_test_" + std::to_string(::getpid()));
    fs::create_directories(root_);
    write(root_ / "walker.mdl", kWalkerMdl);
    write(root_ / "walk.ani", kWalkerAni);
    write(root_ / "Walker.dae", kWalkerDae);
    // The texture both name, a 1 x 1 PNG, so that the document's image reads.
    write(root_ / "skin.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x01\0\0\0\x01\x08\x02\0\0\0\x90\x77\x53\xde"
                                          "\0\0\0\x0cIDATx\x9c\x63\xf8\xff\xff\x3f\0\x05\xfe\x02\xfe\x0d\xef\x46\xb8"
                                          "\0\0\0\0IEND\xae\x42\x60\x82",
                                          69));
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string at(const char* name) const { return (root_ / name).string(); }

  fs::path root_;
};

TEST_F(InfoCollada, DocumentGivesTheSameJsonAsTheSameModelInAModelFile) {
  InfoRun dae = runInfo({at("Walker.dae")});
  InfoRun mdl = runInfo({at("walker.mdl"), "--ani", at("walk.ani")});
  ASSERT_EQ(dae.status, 0) << dae.errors;
  ASSERT_EQ(mdl.status, 0) << mdl.errors;
  EXPECT_TRUE(dae.errors.empty()) << dae.errors;
  EXPECT_NE(dae.json.find("\"textureName\": \"tex0\""), std::string::npos) << dae.json;
  EXPECT_NE(dae.json.find("\"bound\": true"), std::string::npos) << dae.json;
  EXPECT_NE(dae.json.find("\"boneIndexSum\": 2\n"), std::string::npos) << dae.json;

  // The .mdl reader adds 0.00001 to every bone index it reads; the importer stores joint
  // positions as they are. The scene, last, is the document's own (a .mdl model has none).
  // Everything else must match to the digit.
  const std::regex boneIndexSum("\"boneIndexSum\": [^,\\n]*");
  auto withoutScene = [](const std::string& json) { return json.substr(0, json.find(",\n  \"scene\": ")); };
  EXPECT_EQ(std::regex_replace(withoutScene(dae.json), boneIndexSum, "\"boneIndexSum\": _"),
            std::regex_replace(withoutScene(mdl.json), boneIndexSum, "\"boneIndexSum\": _"));
}

TEST_F(InfoCollada, RealExportAndBrokenDocument) {
  const fs::path washer =
      fs::path(MV_TESTDATA_DIR) / "collada" / "gazebo-models" / "washer" / "meshes" / "washer.dae";
  if (fs::exists(washer)) {
    InfoRun run = runInfo({washer.string()});
    EXPECT_EQ(run.status, 0) << run.errors;
    EXPECT_NE(run.json.find("\"modelId\": \"washer\""), std::string::npos);
    EXPECT_NE(run.json.find("\"id\": \"ColladaAnim_001\""), std::string::npos);
  } else {
    std::printf("SKIPPED part: no test file %s\n", washer.c_str());
  }

  write(root_ / "broken.dae", "<COLLADA><library_images></COLLADA>");
  InfoRun broken = runInfo({at("broken.dae")});
  EXPECT_EQ(broken.status, 1);
  EXPECT_TRUE(broken.json.empty());
  EXPECT_NE(broken.errors.find("broken.dae: "), std::string::npos) << broken.errors;
}

}  // namespace
