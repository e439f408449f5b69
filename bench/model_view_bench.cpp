// The model view against its baselines, each measured in the same run on the first Vulkan
// device that works (the CPU rasterizer where there is no GPU):
// - its steady frame in the default window for the largest test model, against the start-up
//   scene's frame, in turns;
// - opening the largest test model and the 10,000-node document to their first frame, in
//   process and as a whole `--headless` process, beside the same processes of an earlier build
//   when MV_BASELINE_PROGRAM names its program;
// - a scene of 20,000 placements of one mesh against one mesh holding the same triangles, drawn
//   once: the frame of instanced drawing against the plain one, and its device allocations;
// - a headless 640 x 480 picture of each test model (load, upload, one frame, read back, PNG);
// - `modelviewer --thumbnail 256` of each test model, a whole process.
// In process, a device is made once per picture size, outside the timing (a process pays it once).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/model_view_setup.h"
#include "app/png_writer.h"
#include "app/startup_scene.h"
#include "app/window_layout.h"
#include "bench/generated_documents.h"
#include "bench/process_run.h"
#include "bench/spread_reporter.h"
#include "model/model_format.h"
#include "render/frame_thread.h"
#include "render/gpu_memory_pool.h"
#include "render/model_stage.h"
#include "render/render_device.h"
#include "scene/camera.h"
#include "scene/drawable_model.h"
#include "scene/model_view.h"
#include "scene/scene.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

std::vector<fs::path> testModels() {
  std::vector<fs::path> models;
  for (const auto& entry : fs::recursive_directory_iterator(MV_TESTDATA_DIR "/collada")) {
    if (formatOfName(entry.path()) != nullptr) models.push_back(entry.path());
  }
  std::sort(models.begin(), models.end());
  return models;
}

fs::path largestModel() {
  std::vector<fs::path> models = testModels();
  return *std::max_element(models.begin(), models.end(),
                           [](const fs::path& a, const fs::path& b) { return fs::file_size(a) < fs::file_size(b); });
}

const fs::path& nodeScene() { return generatedDocument("model_view_bench_nodes_", writeNodeScene); }

// The default window's display area on a 1920 x 1080 screen.
PixelRect defaultDisplay() {
  MainWindowLayout layout = computeMainWindowLayout(1920, 1080, 96);
  return displayRect(layout.mainWidth, layout.mainHeight, layout.barHeight);
}

// A device and its model stage for pictures of one size; the start-up scene's device apart.
struct Stage {
  RenderDevice device;
  ModelStage stage{device};
  bool ok = false;
  Stage(int32_t width, int32_t height, bool startup) {
    RenderDeviceOptions options;
    options.renderWidth = width;
    options.renderHeight = height;
    options.startupScene = startup;
    std::string error;
    ok = chdir(MV_RUN_DIR) == 0 && device.create(options, &error) && (startup || stage.create(width, height, &error));
    if (!ok) std::fprintf(stderr, "no device: %s\n", error.c_str());
  }
};

Stage* stageFor(int32_t width, int32_t height) {
  static std::map<std::pair<int32_t, int32_t>, std::unique_ptr<Stage>> stages;
  auto& s = stages[{width, height}];
  if (!s) s = std::make_unique<Stage>(width, height, false);
  return s->ok ? s.get() : nullptr;
}

// The start-up scene, loaded once, its first frames drawn; null without a device.
DisplayView* startupView() {
  static Stage stage(1920, 1080, true);
  if (!stage.ok) return nullptr;
  static Scene scene;
  static Camera camera;
  static StartupScene contents;
  static DisplayView view;
  if (view.renderDevice == nullptr) {
    std::string error;
    LoadStartupScene(scene, camera, contents, stage.device.textureLoader());
    UploadStartupScene(stage.device, contents, &error);
    view.renderDevice = &stage.device;
    view.scene = &scene;
    view.camera = &camera;
    for (int i = 0; i < 3; ++i) RenderOneFrame(view);
  }
  return &view;
}

// Opens `file` on `s` as the viewer opens it: read, built, uploaded and its first frame drawn.
bool openToFirstFrame(Stage& s, const fs::path& file, PictureReader* picture = nullptr) {
  std::string error;
  std::shared_ptr<ModelView> view =
      LoadModelView(file.string(), {}, static_cast<int32_t>(s.device.renderWidth()), s.device.renderHeight());
  return view && s.stage.show(view, &error) && s.stage.renderFrame(1 / 60.0, picture);
}

// `file` shown on the stage of that size, for steady frames.
Stage* shown(const fs::path& file, int32_t width, int32_t height) {
  Stage* s = stageFor(width, height);
  static std::map<std::pair<int32_t, int32_t>, fs::path> showing;
  if (s == nullptr) return nullptr;
  fs::path& current = showing[{width, height}];
  if (current != file) {
    if (!openToFirstFrame(*s, file)) return nullptr;
    current = file;
    for (int i = 0; i < 3; ++i) s->stage.renderFrame(1 / 60.0, nullptr);
  }
  return s;
}

void BM_StartupSceneFrame(benchmark::State& state) {
  DisplayView* view = startupView();
  if (view == nullptr) return state.SkipWithError("no Vulkan device");
  for (auto _ : state) RenderOneFrame(*view);
}

void BM_ModelViewFrame(benchmark::State& state) {
  Stage* s = shown(largestModel(), defaultDisplay().width, defaultDisplay().height);
  if (s == nullptr) return state.SkipWithError("no Vulkan device");
  for (auto _ : state) s->stage.renderFrame(1 / 60.0, nullptr);
}

// The two frames in turns, each timed, so that both meet the machine at the same speed; the
// counter is the model view's time over the start-up scene's.
void BM_ModelViewOverStartupInTurns(benchmark::State& state) {
  DisplayView* startup = startupView();
  Stage* s = shown(largestModel(), defaultDisplay().width, defaultDisplay().height);
  if (startup == nullptr || s == nullptr) return state.SkipWithError("no Vulkan device");
  Clock::duration startupTime{}, modelTime{};
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    RenderOneFrame(*startup);
    const Clock::time_point middle = Clock::now();
    s->stage.renderFrame(1 / 60.0, nullptr);
    const Clock::time_point end = Clock::now();
    startupTime += middle - start;
    modelTime += end - middle;
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  state.counters["ratio"] = std::chrono::duration<double>(modelTime) / startupTime;
}

void openInProcess(benchmark::State& state, const fs::path& file) {
  Stage* s = stageFor(defaultDisplay().width, defaultDisplay().height);
  if (s == nullptr) return state.SkipWithError("no Vulkan device");
  for (auto _ : state) {
    if (!openToFirstFrame(*s, file)) return state.SkipWithError("cannot open");
  }
}

void BM_OpenLargestToFirstFrame(benchmark::State& state) { openInProcess(state, largestModel()); }
void BM_OpenNodeSceneToFirstFrame(benchmark::State& state) { openInProcess(state, nodeScene()); }

// A headless picture of a model as a whole process: this build's, or (range 1) the earlier one
// that MV_BASELINE_PROGRAM names.
void openProcess(benchmark::State& state, const fs::path& file) {
  const char* baseline = std::getenv("MV_BASELINE_PROGRAM");
  const bool before = state.range(0) == 1;
  if (before && baseline == nullptr) return state.SkipWithError("MV_BASELINE_PROGRAM names no earlier build");
  const std::string program = before ? baseline : MV_RUN_DIR "/modelviewer";
  state.SetLabel(before ? "before" : "now");
  const PixelRect r = defaultDisplay();
  const std::string size = std::to_string(r.width) + "x" + std::to_string(r.height);
  for (auto _ : state) {
    if (!runProcess(program, {"--headless", file.string(), "--size", size})) return state.SkipWithError("it failed");
  }
}

void BM_LargestProcess(benchmark::State& state) { openProcess(state, largestModel()); }
void BM_NodeSceneProcess(benchmark::State& state) { openProcess(state, nodeScene()); }

// A small mesh (a box of 12 triangles) placed 20,000 times on a grid, or (`merged`) the same
// 240,000 triangles in one mesh placed once.
std::shared_ptr<ModelView> placements(bool merged) {
  constexpr int kSide = 200, kCount = kSide * 100;
  const float corners[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
  const uint32_t faces[36] = {0, 2, 1, 0, 3, 2, 4, 5, 6, 4, 6, 7, 0, 1, 5, 0, 5, 4,
                              1, 2, 6, 1, 6, 5, 2, 3, 7, 2, 7, 6, 3, 0, 4, 3, 4, 7};
  auto place = [&](MeshPrimitive& p, float dx, float dy) {
    const auto base = static_cast<uint32_t>(p.positions.size() / 3);
    for (const auto& c : corners) p.positions.insert(p.positions.end(), {c[0] * 0.6f + dx, c[1] * 0.6f + dy, c[2]});
    for (uint32_t i : faces) p.indices.push_back(base + i);
  };
  ModelAsset asset;
  asset.name = merged ? "merged" : "placements";
  Mesh& mesh = asset.meshes.emplace_back();
  MeshPrimitive& p = mesh.primitives.emplace_back();
  if (merged) {
    for (int i = 0; i < kCount; ++i) place(p, static_cast<float>(i % kSide), static_cast<float>(i / kSide));
    asset.nodes.emplace_back().mesh = 0;
  } else {
    place(p, 0, 0);
    for (int i = 0; i < kCount; ++i) {
      AssetNode& node = asset.nodes.emplace_back();
      node.mesh = 0;
      node.local[12] = static_cast<float>(i % kSide);
      node.local[13] = static_cast<float>(i / kSide);
    }
  }
  auto model = std::make_shared<DrawableModel>();
  if (!buildDrawableModel(std::move(asset), *model)) return nullptr;
  auto view = std::make_shared<ModelView>(std::move(model));
  view->SetViewport(1280, 720);
  view->setLook(EnvironmentFor({}), {});
  return view;
}

int placementAllocations = -1;

void placementFrames(benchmark::State& state, bool merged) {
  Stage* s = stageFor(1280, 720);
  std::shared_ptr<ModelView> view = placements(merged);
  std::string error;
  if (s == nullptr || !view || !s->stage.show(view, &error)) return state.SkipWithError("no Vulkan device");
  if (!merged) placementAllocations = s->stage.gpuModel()->allocations();
  for (int i = 0; i < 3; ++i) s->stage.renderFrame(1 / 60.0, nullptr);
  for (auto _ : state) s->stage.renderFrame(1 / 60.0, nullptr);
}

void BM_PlacementsFrame(benchmark::State& state) { placementFrames(state, false); }
void BM_MergedFrame(benchmark::State& state) { placementFrames(state, true); }

void BM_HeadlessPicture(benchmark::State& state) {
  const fs::path file = testModels()[static_cast<std::size_t>(state.range(0))];
  Stage* s = stageFor(640, 480);
  if (s == nullptr) return state.SkipWithError("no Vulkan device");
  state.SetLabel(file.filename().string());
  PictureReader picture(s->device);
  for (auto _ : state) {
    if (!openToFirstFrame(*s, file, &picture)) return state.SkipWithError("cannot render");
    std::string png = EncodePng(picture.rgba.data(), 640, 480, 640 * 4);
    benchmark::DoNotOptimize(png.data());
  }
  state.counters["allocations"] = s->stage.gpuModel()->allocations();
}

// As a file manager runs it: a whole process, device creation and all. The driver's own shader
// cache is kept, as a desktop keeps it, except where `coldCache` asks for none.
void thumbnails(benchmark::State& state, bool coldCache) {
  const fs::path file = testModels()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(file.filename().string());
  const fs::path out = fs::temp_directory_path() / ("model_view_bench_" + std::to_string(getpid()) + ".png");
  for (auto _ : state) {
    if (!runProcess(MV_RUN_DIR "/modelviewer", {"--thumbnail", "256", file.string(), out.string()}, coldCache)) {
      return state.SkipWithError("the thumbnail failed");
    }
  }
  std::error_code ignored;
  fs::remove(out, ignored);
}

void BM_Thumbnail(benchmark::State& state) { thumbnails(state, false); }
void BM_ThumbnailColdShaderCache(benchmark::State& state) { thumbnails(state, true); }

// The spread of the model view's frame against the start-up scene's, then every figure the
// model view is held to, from the medians of the cases.
class RatioReporter : public SpreadReporter {
 public:
  RatioReporter() : SpreadReporter("BM_ModelViewFrame", "BM_StartupSceneFrame") {}
  void Finalize() override {
    SpreadReporter::Finalize();
    printCounterSpread("BM_ModelViewOverStartupInTurns", "ratio", "model view frame / start-up frame, in turns", "-");
    for (const char* name : {"BM_LargestProcess", "BM_NodeSceneProcess"}) {
      const double now = medianOf(std::string(name) + "/0"), before = medianOf(std::string(name) + "/1");
      if (before > 0) std::printf("%s: %.0f ms now, %.0f ms before: %.3f (limit 1)\n", name + 3, now, before, now / before);
    }
    const double placed = medianOf("BM_PlacementsFrame"), merged = medianOf("BM_MergedFrame");
    if (merged > 0) {
      std::printf("20,000 placements of one mesh: %.1f ms a frame against %.1f ms for their triangles in one mesh: "
                  "%.3f (limit 1.2), in %d device allocations\n",
                  placed, merged, placed / merged, placementAllocations);
    }
  }
};

}  // namespace

BENCHMARK(BM_StartupSceneFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(3);
BENCHMARK(BM_ModelViewFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(3);
BENCHMARK(BM_ModelViewOverStartupInTurns)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0)->Repetitions(3);
BENCHMARK(BM_OpenLargestToFirstFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(3);
BENCHMARK(BM_OpenNodeSceneToFirstFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(3);
BENCHMARK(BM_LargestProcess)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(3);
BENCHMARK(BM_NodeSceneProcess)->DenseRange(0, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(3);
BENCHMARK(BM_PlacementsFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(3);
BENCHMARK(BM_MergedFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(3);
const int kLastModel = static_cast<int>(testModels().size()) - 1;
BENCHMARK(BM_HeadlessPicture)->DenseRange(0, kLastModel)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5)->Repetitions(3);
BENCHMARK(BM_Thumbnail)->DenseRange(0, kLastModel)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3)->Repetitions(3);
BENCHMARK(BM_ThumbnailColdShaderCache)->DenseRange(0, kLastModel, 4)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2)->Repetitions(3);

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
