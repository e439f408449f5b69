// Frames of the three passes, rendered headless on the first Vulkan device that works (the CPU
// rasterizer where there is no GPU): the start-up scene, and as the baseline the same passes
// with nothing drawn (clearing the double-size targets, the composite): the floor of a frame.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

#include "app/startup_scene.h"
#include "bench/spread_reporter.h"
#include "app/window_layout.h"
#include "render/frame_thread.h"
#include "render/render_device.h"
#include "scene/camera.h"
#include "scene/scene.h"

namespace {

struct Viewer {
  RenderDevice device;
  Scene scene;
  Camera camera;
  StartupScene contents;
  DisplayView view;
  bool ok = false;

  explicit Viewer(bool withScene) {
    std::string error;
    if (chdir(MV_RUN_DIR) != 0 || !device.create({}, &error)) {
      std::fprintf(stderr, "no device: %s\n", error.c_str());
      return;
    }
    MainWindowLayout layout = computeMainWindowLayout(1920, 1080, 96);
    camera.aspect = cameraAspect(layout.mainWidth, layout.mainHeight);
    if (withScene) {
      LoadStartupScene(scene, camera, contents, device.textureLoader());
      UploadStartupScene(device, contents, &error);
    }
    view.renderDevice = &device;
    view.scene = &scene;
    view.camera = &camera;
    // A few frames first: the driver compiles its shaders on first use.
    for (int i = 0; i < 3; ++i) RenderOneFrame(view);
    ok = true;
  }
};

void runFrames(benchmark::State& state, bool withScene) {
  static std::unique_ptr<Viewer> viewers[2];
  auto& viewer = viewers[withScene ? 1 : 0];
  if (!viewer) viewer = std::make_unique<Viewer>(withScene);
  if (!viewer->ok) {
    state.SkipWithError("no Vulkan device");
    return;
  }
  // Process CPU time of all threads (the rasterizer's included): steadier than wall time on a
  // machine shared with other work.
  auto cpuSeconds = [] {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
  };
  double cpuStart = cpuSeconds();
  for (auto _ : state) RenderOneFrame(viewer->view);
  state.counters["cpu_ms"] = (cpuSeconds() - cpuStart) * 1000.0 / static_cast<double>(state.iterations());
  state.counters["fps"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetLabel(viewer->device.deviceName());
}

void BM_EmptyPassesFrame(benchmark::State& state) { runFrames(state, false); }
void BM_StartupSceneFrame(benchmark::State& state) { runFrames(state, true); }

}  // namespace

BENCHMARK(BM_EmptyPassesFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(5);
BENCHMARK(BM_StartupSceneFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(5);

int main(int argc, char** argv) {
  std::vector<char*> args = withInterleavedRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  SpreadReporter reporter("BM_StartupSceneFrame", "BM_EmptyPassesFrame");
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
