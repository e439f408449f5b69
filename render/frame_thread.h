// The frame thread: measures the frame rate, advances the Scene by its four steps as often as
// the clock calls for, lets the Camera write the frame constants, and renders the light, scene
// and composite passes. One frame is complete (the GPU waited for) before the next begins.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include <vulkan/vulkan.h>

#include "render/frame_presenter.h"

class Camera;
class ModelStage;
class RenderDevice;
class Scene;
struct FrameDrawLists;
struct GpuImage;

// Frames per second over windows of a little more than a second, on a millisecond clock that
// wraps every minute (seconds x 1000 + milliseconds of the current UTC time).
class FrameRateMeter {
 public:
  // Counts one frame at `nowMs` (0 to 59,999). Returns true and sets `fps` when more than
  // 1000 ms have accumulated since the last publication.
  bool tick(uint32_t nowMs, double& fps);

  // The current reading of the minute clock.
  static uint32_t minuteClockMs();

 private:
  uint32_t lastClockMs_ = 0;
  uint32_t elapsedMs_ = 0;
  uint32_t frameCount_ = 0;
};

// How many scene steps are due before each frame, so that the scene advances 60 steps a
// second of wall-clock time (the rate its content is timed for) whatever the frame rate.
class StepPacer {
 public:
  static constexpr int64_t kStepsPerSecond = 60;
  // Two seconds: above the slowest frames worth showing (the CPU device on a busy machine draws
  // about one a second; the steps cost far less than the frame). Time beyond it, a stall, is
  // dropped rather than caught up in one jump.
  static constexpr int64_t kMaxStepsPerFrame = 120;

  // The steps due before a frame that starts at `now` on a monotonic clock. The first frame
  // gets one, so that it shows a stepped scene; later frames get the whole steps in the time
  // since the previous frame plus what earlier frames left over, at most kMaxStepsPerFrame.
  // Zero is a valid answer: the frame draws the scene unchanged.
  int stepsDue(std::chrono::nanoseconds now);

 private:
  bool started_ = false;
  std::chrono::nanoseconds last_{0};
  int64_t leftover_ = 0;  // time not yet stepped, in nanoseconds x kStepsPerSecond
};

// The display view's rendering state, shared by the threads: the device, the scene and the
// camera it draws, the render size, the stop flag and the measured frame rate.
struct DisplayView {
  RenderDevice* renderDevice = nullptr;
  Scene* scene = nullptr;
  Camera* camera = nullptr;
  // The model view's stage: while it shows a model, frames draw it in place of the Scene.
  ModelStage* modelStage = nullptr;
  int32_t frameTick = 1;
  int32_t windowWidth = 0, windowHeight = 0;
  int32_t renderWidth = 1920, renderHeight = 1080;
  // A view that renders at its window's size: the UI thread stores the new size here
  // (width << 32 | height) and the frame thread resizes the targets before its next frame,
  // then tells `renderSizeChanged`. 0: no change asked for.
  std::atomic<uint64_t> requestedRenderSize{0};
  std::function<void(int32_t width, int32_t height)> renderSizeChanged;
  // Runs on the frame thread before each frame's steps, while it holds `sceneMutex`: the one
  // place where the Scene's lists may change (a dropped model taking the old one's place) and
  // where the device takes new meshes while the frame thread runs.
  std::function<void()> beforeFrame;
  // Input thread: the polled keys once the model view has taken its own (the viewer's tools:
  // the next file, a picture of the window).
  std::function<void(const uint8_t* keys)> afterModelKeys;
  // Held by the frame thread around the hook and the steps, and by the input thread around
  // its keyboard dispatch, so that neither walks the lists while the hook changes them.
  std::mutex sceneMutex;
  std::atomic<uint8_t> stopFlag{0};
  std::atomic<double> fps{0.0};  // read by the main window's painting
  // Counted by the frame thread; read once it has ended.
  int64_t framesDrawn = 0, stepsTaken = 0;
  std::thread frameThread;
  std::thread inputThread;
};

inline uint64_t packRenderSize(int32_t width, int32_t height) {
  return static_cast<uint64_t>(static_cast<uint32_t>(width)) << 32 | static_cast<uint32_t>(height);
}

// The visible objects' MeshSets of the Scene's three lists.
void CollectDrawLists(const Scene& scene, FrameDrawLists& lists);

// One iteration of the frame loop without the frame-rate step: `steps` times the Scene's four
// steps, the two camera steps and the three passes, then the presentation when there is a
// presenter. Returns false when the GPU failed.
bool RenderOneFrame(DisplayView& view, FramePresenter* presenter = nullptr, int steps = 1);

// The thread body: frames while `view.stopFlag` is 0, unthrottled, each after the steps a
// StepPacer on the steady clock calls for. Returns 1.
int FrameThread(DisplayView& view, FramePresenter* presenter = nullptr);
