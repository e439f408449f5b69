// Frames of the three passes, rendered headless on the first Vulkan device that works (the CPU
// rasterizer where there is no GPU): the start-up scene, and as the baseline the same passes
// with nothing drawn (clearing the double-size targets, the composite): the floor of a frame.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
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

Viewer& viewerOf(bool withScene) {
  static std::unique_ptr<Viewer> viewers[2];
  auto& viewer = viewers[withScene ? 1 : 0];
  if (!viewer) viewer = std::make_unique<Viewer>(withScene);
  return *viewer;
}

void runFrames(benchmark::State& state, bool withScene) {
  Viewer* viewer = &viewerOf(withScene);
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

// The two frames in turns, each timed: on a machine whose speed drifts within seconds (a
// shared virtual machine), frames a moment apart meet the same speed, where repetitions a
// second apart need not. Its counter is the start-up frames' time over the empty ones'.
void BM_StartupOverEmptyInTurns(benchmark::State& state) {
  Viewer& empty = viewerOf(false);
  Viewer& startup = viewerOf(true);
  if (!empty.ok || !startup.ok) return state.SkipWithError("no Vulkan device");
  using Clock = std::chrono::steady_clock;
  Clock::duration emptyTime{}, startupTime{};
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    RenderOneFrame(empty.view);
    const Clock::time_point middle = Clock::now();
    RenderOneFrame(startup.view);
    const Clock::time_point end = Clock::now();
    emptyTime += middle - start;
    startupTime += end - middle;
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  state.counters["ratio"] = std::chrono::duration<double>(startupTime) / emptyTime;
}

// The spread of the pair, then that of the ratio of the frames rendered in turns.
class Reporter : public SpreadReporter {
 public:
  Reporter() : SpreadReporter("BM_StartupSceneFrame", "BM_EmptyPassesFrame") {}
  void Finalize() override {
    SpreadReporter::Finalize();
    printCounterSpread("BM_StartupOverEmptyInTurns", "ratio", "ratio of start-up to empty frames rendered in turns",
                       "1.3");
  }
};

}  // namespace

BENCHMARK(BM_EmptyPassesFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(5);
BENCHMARK(BM_StartupSceneFrame)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(1.0)->Repetitions(5);
BENCHMARK(BM_StartupOverEmptyInTurns)->Unit(benchmark::kMillisecond)->UseManualTime()->MinTime(2.0)->Repetitions(5);

int main(int argc, char** argv) {
  std::vector<char*> args = withInterleavedRepetitions(argc, argv);
  int count = static_cast<int>(args.size()) - 1;
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
