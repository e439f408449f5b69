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
#include "model/model_format.h"
#include "render/frame_thread.h"
#include "render/gpu_memory_pool.h"
#include "render/model_stage.h"
#include "render/render_device.h"
#include "scene/camera.h"
#include "scene/drawable_model.h"
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

// A 160 x 120 picture, the validation layers on, for the model view only.
bool createSmallDevice(RenderDevice& device, std::string* error) {
  RenderDeviceOptions options;
  options.renderWidth = 160;
  options.renderHeight = 120;
  options.validation = true;
  options.startupScene = false;
  return device.create(options, error);
}

std::vector<std::filesystem::path> testModels() {
  std::vector<std::filesystem::path> models;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(MV_TESTDATA_DIR "/collada")) {
    if (formatOfName(entry.path()) != nullptr) models.push_back(entry.path());
  }
  std::sort(models.begin(), models.end());
  models.push_back(MV_RUN_DIR "/model/skelton.mdl");
  return models;
}

// Each test model goes up in a few large allocations (never one per mesh or placement), draws
// without a validation message, and goes as a whole: nothing of it is left held.
TEST(GpuModel, EveryTestModelUploadsInAFewAllocationsAndGoesAsAWhole) {
  ASSERT_EQ(chdir(MV_RUN_DIR), 0);
  RenderDevice device;
  std::string error;
  SKIP_WITHOUT_VULKAN(createSmallDevice(device, &error), error);
  ModelStage stage(device);
  ASSERT_TRUE(stage.create(160, 120, &error)) << error;
  const int before = liveDeviceAllocations();
  for (const std::filesystem::path& file : testModels()) {
    SCOPED_TRACE(file.string());
    std::shared_ptr<ModelView> view = LoadModelView(file.string(), {}, 160, 120);
    ASSERT_NE(view, nullptr);
    ASSERT_TRUE(stage.show(view, &error)) << error;
    EXPECT_LE(stage.gpuModel()->allocations(), 16);
    EXPECT_EQ(liveDeviceAllocations(), before + stage.gpuModel()->allocations());
    ASSERT_TRUE(stage.renderFrame(1 / 60.0, nullptr));
  }
  EXPECT_EQ(device.validationMessages(), 0);
}

// Models dropped one after another are shown in order, each in place of the last, which goes
// with all it held; a drop that cannot be shown is reported and changes nothing; of a drop of
// two models, the last is shown.
TEST(DroppedModels, EachDropReplacesTheShownModelAndBrokenOnesChangeNothing) {
  namespace fs = std::filesystem;
  ASSERT_EQ(chdir(MV_RUN_DIR), 0);
  RenderDevice device;
  std::string error;
  SKIP_WITHOUT_VULKAN(createSmallDevice(device, &error), error);
  const fs::path folder = fs::temp_directory_path() / ("dropped_models_" + std::to_string(getpid()));
  fs::create_directories(folder);
  std::ofstream(folder / "broken.dae") << "<COLLADA><library_geometries>";
  const fs::path table = MV_TESTDATA_DIR "/collada/gazebo-models/cafe_table/meshes/cafe_table.dae";
  const fs::path washer = MV_TESTDATA_DIR "/collada/gazebo-models/washer/meshes/washer.dae";
  const fs::path skeleton = MV_RUN_DIR "/model/skelton.mdl";
  Scene scene;
  ModelStage stage(device);
  std::atomic<int> failures{0};
  DroppedModels drops(device, stage, scene, {{}, [&](const std::string&) { ++failures; }});
  drops.setShown({});
  const int before = liveDeviceAllocations();
  const struct {
    std::vector<fs::path> files;
    const char* shown;  // the model's name once the drop is done
    bool fails;
  } steps[] = {
      {{table}, "cafe_table", false},
      {{folder / "broken.dae"}, "cafe_table", true},
      {{washer, skeleton}, "SKELTON", false},
      {{table}, "cafe_table", false},
  };
  for (const auto& step : steps) {
    std::vector<std::string> paths;
    for (const fs::path& file : step.files) paths.push_back(file.string());
    const int failed = failures;
    drops.drop(paths);
    // The loader reads the whole drop between two frames far enough apart.
    auto done = [&] {
      std::shared_ptr<ModelView> shown = stage.shown();
      return step.fails ? failures > failed : shown != nullptr && shown->model().name == step.shown;
    };
    for (int frame = 0; frame < 400 && !done(); ++frame) {
      drops.frameHook(160, 120);
      ASSERT_TRUE(stage.renderFrame(1 / 60.0, nullptr));
      std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ASSERT_TRUE(done()) << step.files.front();
    EXPECT_EQ(stage.shown()->model().name, step.shown);
    EXPECT_EQ(liveDeviceAllocations(), before + stage.gpuModel()->allocations());
  }
  drops.stop();
  EXPECT_EQ(device.validationMessages(), 0);
  fs::remove_all(folder);
}

}  // namespace
