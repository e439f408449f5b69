#include "render/frame_thread.h"

#include <algorithm>
#include <cstdio>

#include "render/model_stage.h"
#include "render/render_device.h"
#include "scene/camera.h"
#include "scene/scene.h"

bool FrameRateMeter::tick(uint32_t nowMs, double& fps) {
  uint32_t interval = lastClockMs_ > nowMs ? nowMs + 60000 - lastClockMs_ : nowMs - lastClockMs_;
  elapsedMs_ += interval;
  lastClockMs_ = nowMs;
  frameCount_ += 1;
  if (elapsedMs_ <= 1000) return false;
  float rate = static_cast<float>(frameCount_) * 1000.0f / static_cast<float>(elapsedMs_);
  fps = static_cast<double>(rate);
  frameCount_ = 0;
  elapsedMs_ = 0;
  return true;
}

uint32_t FrameRateMeter::minuteClockMs() {
  using namespace std::chrono;
  auto ms = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  return static_cast<uint32_t>(ms % 60000);
}

int StepPacer::stepsDue(std::chrono::nanoseconds now) {
  constexpr int64_t kSecondNs = 1'000'000'000;
  if (!started_) {
    started_ = true;
    last_ = now;
    return 1;
  }
  // Exact integer time, so that no rounding accumulates over a long run; a step is kSecondNs
  // units of leftover_. Clamping the interval to the cap's worth drops a stall's excess.
  int64_t elapsed = std::clamp<int64_t>((now - last_).count(), 0, kMaxStepsPerFrame * kSecondNs / kStepsPerSecond);
  last_ = now;
  leftover_ += elapsed * kStepsPerSecond;
  int64_t steps = leftover_ / kSecondNs;
  leftover_ -= steps * kSecondNs;
  return static_cast<int>(steps);
}

void CollectDrawLists(const Scene& scene, FrameDrawLists& lists) {
  auto collect = [](const CursorList<CCharacterBase>& list, std::vector<const MeshSet*>& out) {
    out.clear();
    for (int32_t i = 1; i <= list.count(); ++i) {
      const CCharacterBase* object = list.at(i)->item;
      if (object->visible == 1 && object->meshSet != nullptr) out.push_back(object->meshSet);
    }
  };
  collect(scene.firstList, lists.first);
  collect(scene.secondList, lists.second);
  collect(scene.thirdList, lists.third);
}

namespace {

void followRequestedSize(DisplayView& view) {
  const uint64_t requested = view.requestedRenderSize.exchange(0);
  if (requested == 0) return;
  const auto width = static_cast<int32_t>(requested >> 32), height = static_cast<int32_t>(requested & 0xFFFFFFFFu);
  std::string error;
  if (width <= 0 || height <= 0) return;  // a minimized window keeps the last size
  if (!view.renderDevice->resize(width, height, &error) ||
      (view.modelStage != nullptr && view.modelStage->shown() && !view.modelStage->resize(width, height, &error))) {
    std::fprintf(stderr, "Error: %s\n", error.c_str());
    return;
  }
  view.renderWidth = width;
  view.renderHeight = height;
  if (view.renderSizeChanged) view.renderSizeChanged(width, height);
}

}  // namespace

bool RenderOneFrame(DisplayView& view, FramePresenter* presenter, int steps) {
  followRequestedSize(view);
  Scene& scene = *view.scene;
  // The draw lists are rebuilt for the visibility flags and for lists the hook changed.
  thread_local FrameDrawLists lists;
  bool modelShown = false;
  {
    std::lock_guard<std::mutex> lock(view.sceneMutex);
    if (view.beforeFrame) view.beforeFrame();
    // The hook may have put a model in the start-up scene's place, whose targets are gone.
    modelShown = view.modelStage != nullptr && view.modelStage->shown();
    for (int i = 0; i < steps && !modelShown; ++i) {
      scene.UpdateObjects();
      scene.AdvanceAnimationClocks(view.frameTick);
      scene.UpdatePoses();
      scene.LateUpdateObjects();
    }
    if (!modelShown) CollectDrawLists(scene, lists);
  }
  if (modelShown) {
    // The scene's steps are a sixtieth of a second each: the model's clock keeps to them.
    return view.modelStage->renderFrame(steps / static_cast<double>(StepPacer::kStepsPerSecond), presenter);
  }
  RenderDevice& device = *view.renderDevice;
  view.camera->UpdateSceneView(device.frameConstants(), device.frameConstantsMapped());
  view.camera->UpdateFollowView(device.frameConstants(), device.frameConstantsMapped());
  if (presenter == nullptr || !presenter->acquire()) return device.renderFrame(lists);
  bool ok = device.renderFrame(lists, [presenter](VkCommandBuffer cmd, const GpuImage& backBuffer) {
    presenter->recordPresent(cmd, backBuffer);
  });
  presenter->present();
  return ok;
}

int FrameThread(DisplayView& view, FramePresenter* presenter) {
  FrameRateMeter meter;
  StepPacer pacer;
  bool reported = false;
  while (view.stopFlag.load() == 0) {
    double fps = 0;
    if (meter.tick(FrameRateMeter::minuteClockMs(), fps)) view.fps.store(fps);
    int steps = pacer.stepsDue(std::chrono::steady_clock::now().time_since_epoch());
    view.framesDrawn += 1;
    view.stepsTaken += steps;
    if (!RenderOneFrame(view, presenter, steps) && !reported) {
      std::fprintf(stderr, "Error: the GPU failed to render a frame\n");
      reported = true;
    }
  }
  return 1;
}
