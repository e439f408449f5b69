// The frame thread: measures the frame rate, advances the Scene by its four steps, lets the
// Camera write the frame constants, and renders the light, scene and composite passes. One
// frame is complete (the GPU waited for) before the next begins.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

#include <vulkan/vulkan.h>

class Camera;
class RenderDevice;
class Scene;
struct FrameDrawLists;
struct GpuImage;

// Where a frame goes after the composite pass: a window's swapchain, say.
class FramePresenter {
 public:
  virtual ~FramePresenter() = default;
  // Gets an image to present into; false when there is none this frame (a minimized window).
  virtual bool acquire() = 0;
  // Records the copy of the back buffer (in the transfer-source layout) into that image.
  virtual void recordPresent(VkCommandBuffer cmd, const GpuImage& backBuffer) = 0;
  // Presents the image once the frame's commands have completed.
  virtual void present() = 0;
};

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

// The display view's rendering state, shared by the threads: the device, the scene and the
// camera it draws, the render size, the stop flag and the measured frame rate.
struct DisplayView {
  RenderDevice* renderDevice = nullptr;
  Scene* scene = nullptr;
  Camera* camera = nullptr;
  int32_t frameTick = 1;
  int32_t windowWidth = 0, windowHeight = 0;
  int32_t renderWidth = 1920, renderHeight = 1080;
  std::atomic<uint8_t> stopFlag{0};
  std::atomic<double> fps{0.0};  // read by the main window's painting
  std::thread frameThread;
  std::thread inputThread;
};

// The visible objects' MeshSets of the Scene's three lists.
void CollectDrawLists(const Scene& scene, FrameDrawLists& lists);

// One iteration of the frame loop without the frame-rate step: the Scene's four steps, the two
// camera steps and the three passes, then the presentation when there is a presenter. Returns
// false when the GPU failed.
bool RenderOneFrame(DisplayView& view, FramePresenter* presenter = nullptr);

// The thread body: frames while `view.stopFlag` is 0. Returns 1.
int FrameThread(DisplayView& view, FramePresenter* presenter = nullptr);
