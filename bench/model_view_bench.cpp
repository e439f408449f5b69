// The model view against its baselines, each measured in the same run on the first Vulkan
// device that works (the CPU rasterizer where there is no GPU):
// - its steady frame in the default window against the start-up scene's frame;
// - opening the largest test model to its first frame against importing it plus two frames;
// - a headless 640 x 480 picture of each test model (load, upload, one frame, read back, PNG)
//   against importing it plus one steady frame of it, both measured beside each picture;
// - `modelviewer --thumbnail 256` of each test model, a whole process, against importing it plus
//   half a second.
// In process, the device is created once per picture size, outside the timing (a process pays
// it once).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/model_view_setup.h"
#include "app/png_writer.h"
#include "app/startup_scene.h"
#include "app/window_layout.h"
#include "bench/spread_reporter.h"
#include "model/collada_import.h"
#include "model/model_data.h"
#include "render/frame_thread.h"
#include "render/render_device.h"
#include "scene/camera.h"
#include "scene/model_view.h"
#include "scene/scene.h"

namespace fs = std::filesystem;

namespace {

std::vector<fs::path> testModels() {
  std::vector<fs::path> models;
  for (const auto& entry : fs::recursive_directory_iterator(MV_TESTDATA_DIR "/collada")) {
    std::string ext = entry.path().extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext == ".dae") models.push_back(entry.path());
  }
  std::sort(models.begin(), models.end());
  return models;
}

fs::path largestModel() {
  std::vector<fs::path> models = testModels();
  return *std::max_element(models.begin(), models.end(),
                           [](const fs::path& a, const fs::path& b) { return fs::file_size(a) < fs::file_size(b); });
}

// The default window's display area on a 1920 x 1080 screen.
PixelRect defaultDisplay() {
  MainWindowLayout layout = computeMainWindowLayout(1920, 1080, 96);
  return displayRect(layout.mainWidth, layout.mainHeight, layout.barHeight);
}

RenderDevice* device(int32_t width, int32_t height, int32_t shadowSize) {
  static std::map<std::tuple<int32_t, int32_t, int32_t>, std::unique_ptr<RenderDevice>> devices;
  auto& d = devices[{width, height, shadowSize}];
  if (!d) {
    d = std::make_unique<RenderDevice>();
    RenderDeviceOptions options;
    options.renderWidth = width;
    options.renderHeight = height;
    options.shadowSize = shadowSize;
    std::string error;
    if (chdir(MV_RUN_DIR) != 0 || !d->create(options, &error)) {
      std::fprintf(stderr, "no device: %s\n", error.c_str());
      d.reset();
      return nullptr;
    }
  }
  return d.get();
}

// One opened model: its scene, camera and view on a device.
struct Opened {
  Scene scene;
  Camera camera;
  ModelView model{&camera};
  DisplayView view;
  bool ok = false;
  Opened(RenderDevice& device, const fs::path& file) {
    ok = LoadModelView(model, scene, camera, device, file.string(), {}, device.renderWidth(), device.renderHeight());
    view.renderDevice = &device;
    view.scene = &scene;
    view.camera = &camera;
  }
  // Closed as the viewer closes a model it replaces: its meshes and textures leave the device.
  ~Opened() {
    if (!ok) return;
    for (const MeshSet* mesh : model.drawnMeshSets()) view.renderDevice->release(*mesh);
  }
  Opened(const Opened&) = delete;
  Opened& operator=(const Opened&) = delete;
};

// The start-up scene, loaded once, its first frames drawn; null without a device.
DisplayView* startupView() {
  RenderDevice* d = device(1920, 1080, 0);
  if (d == nullptr) return nullptr;
  static Scene scene;
  static Camera camera;
  static StartupScene contents;
  static DisplayView view;
  if (view.renderDevice == nullptr) {
    std::string error;
    LoadStartupScene(scene, camera, contents, d->textureLoader());
    UploadStartupScene(*d, contents, &error);
    view.renderDevice = d;
    view.scene = &scene;
    view.camera = &camera;
    for (int i = 0; i < 3; ++i) RenderOneFrame(view);
  }
  return &view;
}

// `file` kept open at that size, its first frames drawn; null without a device.
Opened* openedModel(const fs::path& file, int32_t width, int32_t height) {
  RenderDevice* d = device(width, height, kModelViewShadowSize);
  if (d == nullptr) return nullptr;
  static std::map<std::tuple<fs::path, int32_t, int32_t>, std::unique_ptr<Opened>> opened;
  auto& o = opened[{file, width, height}];
  if (!o) {
    o = std::make_unique<Opened>(*d, file);
    for (int i = 0; i < 3; ++i) RenderOneFrame(o->view);
  }
  return o.get();
}

void BM_StartupSceneFrame(benchmark::State& state) {
  DisplayView* view = startupView();
  if (view == nullptr) return state.SkipWithError("no Vulkan device");
  for (auto _ : state) RenderOneFrame(*view);
}

void modelFrames(benchmark::State& state, int32_t width, int32_t height) {
  Opened* o = openedModel(largestModel(), width, height);
  if (o == nullptr) return state.SkipWithError("no Vulkan device");
  for (auto _ : state) RenderOneFrame(o->view);
}

using Clock = std::chrono::steady_clock;

// The start-up scene's frame and the model view's in turns, each timed, so that both meet the
// machine at the same speed; its counter is the model view's time over the start-up scene's.
void BM_ModelViewOverStartupInTurns(benchmark::State& state) {
  DisplayView* startup = startupView();
  Opened* model = openedModel(largestModel(), defaultDisplay().width, defaultDisplay().height);
  if (startup == nullptr || model == nullptr) return state.SkipWithError("no Vulkan device");
  Clock::duration startupTime{}, modelTime{};
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    RenderOneFrame(*startup);
    const Clock::time_point middle = Clock::now();
    RenderOneFrame(model->view);
    const Clock::time_point end = Clock::now();
    startupTime += middle - start;
    modelTime += end - middle;
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  state.counters["ratio"] = std::chrono::duration<double>(modelTime) / startupTime;
}

void BM_ModelViewFrame(benchmark::State& state) { modelFrames(state, defaultDisplay().width, defaultDisplay().height); }

void BM_ImportLargest(benchmark::State& state) {
  const fs::path file = largestModel();
  for (auto _ : state) {
    ModelData model;
    benchmark::DoNotOptimize(importCollada(model, file));
  }
}

void BM_OpenLargestToFirstFrame(benchmark::State& state) {
  PixelRect r = defaultDisplay();
  RenderDevice* d = device(r.width, r.height, kModelViewShadowSize);
  if (d == nullptr) return state.SkipWithError("no Vulkan device");
  const fs::path file = largestModel();
  for (auto _ : state) {
    Opened o(*d, file);
    if (!o.ok || !RenderOneFrame(o.view)) return state.SkipWithError("cannot open");
  }
}

void BM_Import(benchmark::State& state) {
  const fs::path file = testModels()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(file.filename().string());
  for (auto _ : state) {
    ModelData model;
    benchmark::DoNotOptimize(importCollada(model, file));
  }
}

// The picture's time is its own; beside each picture, a moment before it, the file is imported
// alone and the model, kept open, draws a steady frame: the limit's parts, at the same machine
// speed as the picture. Its counter is the picture's time over 1.5 x (import + frame); beside it,
// over 1.5 x import + frame, which leaves a picture almost nothing for loading its textures,
// reading the frame back and writing the PNG.
void BM_HeadlessPicture(benchmark::State& state) {
  RenderDevice* d = device(640, 480, kModelViewShadowSize);
  const fs::path file = testModels()[static_cast<std::size_t>(state.range(0))];
  Opened* steady = openedModel(file, 640, 480);
  if (d == nullptr || steady == nullptr) return state.SkipWithError("no Vulkan device");
  state.SetLabel(file.filename().string());
  PictureReader picture(*d);
  Clock::duration imports{}, frames{}, pictures{};
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    {
      ModelData model;
      benchmark::DoNotOptimize(importCollada(model, file));
    }
    const Clock::time_point imported = Clock::now();
    RenderOneFrame(steady->view);
    const Clock::time_point framed = Clock::now();
    {
      Opened o(*d, file);
      if (!o.ok || !RenderOneFrame(o.view, &picture)) return state.SkipWithError("cannot render");
      std::string png = EncodePng(picture.rgba.data(), 640, 480, 640 * 4);
      benchmark::DoNotOptimize(png.data());
    }
    const Clock::time_point end = Clock::now();
    imports += imported - start;
    frames += framed - imported;
    pictures += end - framed;
    state.SetIterationTime(std::chrono::duration<double>(end - framed).count());
  }
  state.counters["of_limit"] = std::chrono::duration<double>(pictures) / (1.5 * (imports + frames));
  state.counters["of_strict"] = std::chrono::duration<double>(pictures) / (1.5 * imports + frames);
}

// `modelviewer --thumbnail 256 FILE OUT` as a file manager runs it: a whole process, device
// creation and all. The driver's own shader cache is kept, as a desktop keeps it, except where
// `coldCache` asks for none (the first thumbnail a machine ever makes).
bool runThumbnail(const fs::path& file, const fs::path& out, bool coldCache) {
  const std::string program = MV_RUN_DIR "/modelviewer";
  std::vector<std::string> args = {program, "--thumbnail", "256", file.string(), out.string()};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  if (coldCache) env.emplace_back("MESA_SHADER_CACHE_DISABLE=true");
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);  // warnings of textures it lacks
  pid_t pid = 0;
  const bool spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data()) == 0;
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  return spawned && waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void thumbnails(benchmark::State& state, bool coldCache) {
  const fs::path file = testModels()[static_cast<std::size_t>(state.range(0))];
  state.SetLabel(file.filename().string());
  const fs::path out = fs::temp_directory_path() / ("model_view_bench_" + std::to_string(getpid()) + ".png");
  for (auto _ : state) {
    if (!runThumbnail(file, out, coldCache)) return state.SkipWithError("the thumbnail failed");
  }
  std::error_code ignored;
  fs::remove(out, ignored);
}

void BM_Thumbnail(benchmark::State& state) { thumbnails(state, false); }
void BM_ThumbnailColdShaderCache(benchmark::State& state) { thumbnails(state, true); }

// The spread of the model view's frame against the start-up scene's, then every figure the model
// view is held to, from the medians of the cases.
class RatioReporter : public SpreadReporter {
 public:
  RatioReporter() : SpreadReporter("BM_ModelViewFrame", "BM_StartupSceneFrame") {}
  void Finalize() override {
    SpreadReporter::Finalize();
    const double startup = medianOf("BM_StartupSceneFrame"), frame = medianOf("BM_ModelViewFrame");
    const double import = medianOf("BM_ImportLargest"), open = medianOf("BM_OpenLargestToFirstFrame");
    std::printf("model view frame / start-up frame: %.3f (limit 0.5)\n", frame / startup);
    printCounterSpread("BM_ModelViewOverStartupInTurns", "ratio", "model view frame / start-up frame, in turns", "0.5");
    std::printf("open largest to first frame: %.1f ms against import %.1f ms + two frames %.1f ms: %.3f (limit 1)\n",
                open, import, 2 * frame, open / (import + 2 * frame));
    // Built with += : gcc 12 warns falsely about "literal" + std::string.
    auto caseOf = [](const char* name, std::size_t i) {
      std::string key = name;
      key += '/';
      key += std::to_string(i);
      return key;
    };
    const std::vector<fs::path> models = testModels();
    for (std::size_t i = 0; i < models.size(); ++i) {
      std::string what = "picture 640x480 ";
      what += models[i].filename().string();
      printCounterSpread(caseOf("BM_HeadlessPicture", i), "of_limit", what + " / 1.5 x (import + its frame)", "1");
      printCounterSpread(caseOf("BM_HeadlessPicture", i), "of_strict", what + " / (1.5 x import + its frame)", "1");
    }
    for (const char* name : {"BM_Thumbnail", "BM_ThumbnailColdShaderCache"}) {
      for (std::size_t i = 0; i < models.size(); ++i) {
        const double thumbnail = medianOf(caseOf(name, i));
        const double alone = medianOf(caseOf("BM_Import", i));
        if (thumbnail == 0) continue;
        std::printf("%s 256 %-34s %.0f ms against import %.2f ms + 500 ms: %.3f (limit 1)\n", name + 3,
                    models[i].filename().c_str(), thumbnail, alone, thumbnail / (alone + 500));
      }
    }
  }
};

}  // namespace

BENCHMARK(BM_StartupSceneFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(3);
BENCHMARK(BM_ModelViewFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(3);
BENCHMARK(BM_ModelViewOverStartupInTurns)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0)->Repetitions(5);
BENCHMARK(BM_ImportLargest)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.5)->Repetitions(3);
BENCHMARK(BM_OpenLargestToFirstFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(3);
const int kLastModel = static_cast<int>(testModels().size()) - 1;
BENCHMARK(BM_Import)->DenseRange(0, kLastModel)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(0.2)->Repetitions(3);
BENCHMARK(BM_HeadlessPicture)->DenseRange(0, kLastModel)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(0.5)->Repetitions(3);
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
