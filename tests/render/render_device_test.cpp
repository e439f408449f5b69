// The render device in this process, on whatever Vulkan device the machine has (the CPU
// rasterizer when there is no GPU), with the validation layers on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "app/dropped_models.h"
#include "app/model_view_setup.h"
#include "app/startup_scene.h"
#include "render/frame_thread.h"
#include "render/render_device.h"
#include "scene/camera.h"
#include "scene/model_view.h"
#include "scene/scene.h"

// The Vulkan driver keeps allocations until the process ends, some on its own threads: leak
// checking is off for this test, as for the program's runs; every other sanitizer report still
// fails it.
extern "C" int __lsan_is_turned_off() { return 1; }

namespace {

#define SKIP_WITHOUT_VULKAN(created, error)                                                  \
  if (!(created)) GTEST_SKIP() << "SKIPPED: no Vulkan device or validation layers here: " << (error)

// The ground drawn without the shadow look-up where no shadow can reach must look exactly as
// it does with the look-up everywhere: the start-up scene on two devices, one of each, with the
// character standing at the middle of a tile, on its edges and corners and far out on the field,
// facing several ways, so that its shadow falls across every kind of tile boundary.
struct Viewer {
  RenderDevice device;
  Scene scene;
  Camera camera;
  StartupScene contents;
  DisplayView view;
  PictureReader picture{device};

  bool open(bool lookUpEverywhere, std::string* error) {
    RenderDeviceOptions options;
    options.renderWidth = 320;
    options.renderHeight = 180;
    options.validation = true;
    options.shadowLookUpEverywhere = lookUpEverywhere;
    if (!device.create(options, error)) return false;
    camera.aspect = 16.0f / 9.0f;
    LoadStartupScene(scene, camera, contents, device.textureLoader());
    if (contents.skeleton == nullptr || !UploadStartupScene(device, contents, error)) return false;
    view.renderDevice = &device;
    view.scene = &scene;
    view.camera = &camera;
    return true;
  }

  const std::vector<uint8_t>& frameAt(float x, float y, float heading) {
    scene.SetSkeletonPosition(x, y, 0);
    contents.skeleton->SetRotation(0, 0, heading);
    // The second frame: the character has settled on the ground and the camera followed.
    RenderOneFrame(view);
    RenderOneFrame(view, &picture);
    return picture.rgba;
  }
};

TEST(ShadowReach, GroundWithoutTheLookUpWhereNoShadowReachesLooksTheSame) {
  ASSERT_EQ(chdir(MV_RUN_DIR), 0);
  std::string error;
  auto culled = std::make_unique<Viewer>(), everywhere = std::make_unique<Viewer>();
  SKIP_WITHOUT_VULKAN(culled->open(false, &error) && everywhere->open(true, &error), error);
  // Tiles are 200 units wide, centred on multiples of 200.
  const struct { float x, y, heading; } places[] = {
      {0, 0, 0},      {0, 0, 135},     {100, 0, 90},    {100, 100, 45},  {-100, 100, 200},
      {-96, -104, 300}, {300, -500, 10}, {-600, 600, 250}, {590, 100, 180},
  };
  for (const auto& at : places) {
    const std::vector<uint8_t>& a = culled->frameAt(at.x, at.y, at.heading);
    const std::vector<uint8_t>& b = everywhere->frameAt(at.x, at.y, at.heading);
    ASSERT_EQ(a.size(), b.size());
    ASSERT_FALSE(a.empty());
    std::size_t differing = 0;
    int largest = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      const int d = std::abs(static_cast<int>(a[i]) - static_cast<int>(b[i]));
      differing += d > 0;
      largest = std::max(largest, d);
    }
    // One level for rounding where the compiler orders the shading's sums differently.
    EXPECT_LE(largest, 1) << "at (" << at.x << ", " << at.y << "), " << differing << " channels differ";
  }
  EXPECT_EQ(culled->device.validationMessages(), 0);
  EXPECT_EQ(everywhere->device.validationMessages(), 0);
}

// A 160 x 120 picture, the validation layers on.
bool createSmallDevice(RenderDevice& device, std::string* error) {
  RenderDeviceOptions options;
  options.renderWidth = 160;
  options.renderHeight = 120;
  options.validation = true;
  return device.create(options, error);
}

int texturesInUse(RenderDevice& device) {
  int used = 0;
  for (int64_t slot = 0; slot < device.slots().capacity(); ++slot) used += device.slots().isUsed(slot);
  return used;
}

// A viewer opens model after model: closing one gives its textures back, and a texture stays
// while any mesh still drawn uses it (each frame between the releases draws the meshes left;
// the device skips those released).
TEST(RenderDevice, ClosingAModelGivesBackItsTexturesOnceNoMeshDrawsThem) {
  ASSERT_EQ(chdir(MV_RUN_DIR), 0);
  RenderDevice device;
  std::string error;
  SKIP_WITHOUT_VULKAN(createSmallDevice(device, &error), error);
  const int before = texturesInUse(device);
  const std::string file = MV_TESTDATA_DIR "/collada/gazebo-models/cafe_table/meshes/cafe_table.dae";
  for (int round = 0; round < 3; ++round) {
    Scene scene;
    Camera camera;
    ModelView model(&camera);
    ASSERT_TRUE(LoadModelView(model, scene, camera, device, file, {}, 160, 120));
    EXPECT_GT(texturesInUse(device), before);
    DisplayView view;
    view.renderDevice = &device;
    view.scene = &scene;
    view.camera = &camera;
    ASSERT_TRUE(RenderOneFrame(view));
    std::vector<const MeshSet*> meshes = model.drawnMeshSets();
    while (!meshes.empty()) {
      device.release(*meshes.back());
      meshes.pop_back();
      ASSERT_TRUE(RenderOneFrame(view));
    }
    EXPECT_EQ(texturesInUse(device), before) << "round " << round;
  }
  EXPECT_EQ(device.validationMessages(), 0);
}


// One triangle under a material textured with the image "used"; `images` are the document's
// image library, each reading image.png.
std::string triangleDocument(const std::string& images, const char* primitive) {
  return R"(<?xml version="1.0"?>
<COLLADA xmlns="http://www.collada.org/2005/11/COLLADASchema" version="1.4.1">
<library_images>)" + images + R"(</library_images>
<library_effects><effect id="fx"><profile_COMMON><newparam sid="surf"><surface type="2D"><init_from>used</init_from>
</surface></newparam><newparam sid="samp"><sampler2D><source>surf</source></sampler2D></newparam><technique sid="t">
<lambert><diffuse><texture texture="samp" texcoord="uv"/></diffuse></lambert></technique></profile_COMMON></effect>
</library_effects><library_materials><material id="mat"><instance_effect url="#fx"/></material></library_materials>
<library_geometries><geometry id="tri"><mesh><source id="p"><float_array id="pa" count="9">0 0 0 1 0 0 0 1 0
</float_array><technique_common><accessor source="#pa" count="3" stride="3"/></technique_common></source>
<vertices id="v"><input semantic="POSITION" source="#p"/></vertices><)" + primitive + R"( material="mat" count="1">
<input semantic="VERTEX" source="#v" offset="0"/><p>0 1 2</p></)" + primitive + R"(></mesh></geometry>
</library_geometries><library_visual_scenes><visual_scene id="s"><node id="n"><instance_geometry url="#tri">
<bind_material><technique_common><instance_material symbol="mat" target="#mat"/></technique_common></bind_material>
</instance_geometry></node></visual_scene></library_visual_scenes><scene><instance_visual_scene url="#s"/></scene>
</COLLADA>
)";
}

// Models dropped one after another give back every texture loaded for them once they are gone:
// an image no drawn primitive uses, a model that fails after its images loaded, and a model that
// a later one in the same drop passes over before it is shown.
TEST(DroppedModelTextures, EveryTextureLoadedForAModelIsGivenBackWithIt) {
  namespace fs = std::filesystem;
  ASSERT_EQ(chdir(MV_RUN_DIR), 0);
  RenderDevice device;
  std::string error;
  SKIP_WITHOUT_VULKAN(createSmallDevice(device, &error), error);
  const fs::path folder = fs::temp_directory_path() / ("dropped_textures_" + std::to_string(getpid()));
  fs::create_directories(folder);
  fs::copy_file(fs::path(MV_RUN_DIR) / "model/field/grass.png", folder / "image.png");
  const std::string twoImages = R"(<image id="used"><init_from>image.png</init_from></image>
<image id="unused"><init_from>image.png</init_from></image>)";
  const std::pair<const char*, std::string> files[] = {
      {"textured.dae", triangleDocument(twoImages, "triangles")},
      {"lines.dae", triangleDocument(twoImages, "lines")},  // nothing to draw: it fails
      {"plain.dae", triangleDocument("", "triangles")},
  };
  for (const auto& [name, text] : files) std::ofstream(folder / name) << text;

  Scene scene;
  Camera camera;
  DisplayView view;
  view.renderDevice = &device;
  view.scene = &scene;
  view.camera = &camera;
  std::atomic<int> failures{0};
  DroppedModels drops(device, scene, camera, {{}, [&](const std::string&) { ++failures; }});
  drops.setShown(nullptr, {});
  const int before = texturesInUse(device);
  const struct {
    std::vector<std::string> files;
    bool replaces;              // whether a new model is shown at the end, or the drop fails
    std::size_t shownTextures;  // loaded for the model shown at the end
  } steps[] = {
      {{"textured.dae"}, true, 2},
      {{"lines.dae"}, false, 2},
      {{"plain.dae"}, true, 0},
      {{"textured.dae", "plain.dae"}, true, 0},
      {{"textured.dae"}, true, 2},
  };
  std::shared_ptr<ModelView> last;
  for (const auto& step : steps) {
    std::vector<std::string> paths;
    for (const std::string& file : step.files) paths.push_back((folder / file).string());
    drops.drop(paths);
    // Frames far enough apart that the loader reads the whole drop between two of them, so
    // that the second model of a drop passes over the first.
    const int failed = failures;
    auto done = [&] {
      std::shared_ptr<ModelView> shown = drops.shown();
      if (!step.replaces) return failures > failed;
      return shown != nullptr && shown != last && shown->loadedTextures().size() == step.shownTextures;
    };
    for (int frame = 0; frame < 400 && !done(); ++frame) {
      drops.frameHook(160, 120);
      ASSERT_TRUE(RenderOneFrame(view));
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(done()) << step.files.front();
    last = drops.shown();
    EXPECT_EQ(texturesInUse(device), before + static_cast<int>(step.shownTextures)) << step.files.front();
  }
  drops.stop();
  EXPECT_EQ(device.validationMessages(), 0);
  fs::remove_all(folder);
}

}  // namespace
