// What the frame thread draws while a model is shown: the model view, its model on the GPU and
// the passes that draw it. A new view takes the shown one's place between frames: its model is
// uploaded, then the old one released with one wait.
#pragma once

#include <cstdint>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "render/gpu_model.h"
#include "render/model_renderer.h"
#include "scene/model_view.h"

class FramePresenter;
class RenderDevice;

class ModelStage {
 public:
  explicit ModelStage(RenderDevice& device) : device_(device), renderer_(device) {}
  ~ModelStage();
  ModelStage(const ModelStage&) = delete;
  ModelStage& operator=(const ModelStage&) = delete;

  // The passes for a `width` x `height` picture, made on the first call and resized on later
  // ones. False, with one line in `error`.
  bool create(int32_t width, int32_t height, std::string* error) { return resize(width, height, error); }
  bool resize(int32_t width, int32_t height, std::string* error);

  // Frame thread, between frames: uploads `view`'s model (and its environment, when it is not
  // the one shown) and shows it in place of the shown one, whose GPU model is released. False,
  // with `error` set and the shown view kept, when the device has no room for it or the view
  // has no environment.
  bool show(std::shared_ptr<ModelView> view, std::string* error);
  // The shown view; null before the first. Any thread.
  std::shared_ptr<ModelView> shown() const { return std::atomic_load(&shown_); }

  // One frame: the view's animation moved on by `seconds`, its passes recorded and submitted,
  // `presenter` (when given and able) taking the picture. False when the GPU failed.
  bool renderFrame(double seconds, FramePresenter* presenter);

  // Any thread: the next frame's picture is also read back and handed to `done` on the frame
  // thread (RGBA, top row first; empty when it could not be read). A later request before that
  // frame replaces this one.
  using PictureDone = std::function<void(std::vector<uint8_t> rgba, int32_t width, int32_t height)>;
  void requestPicture(PictureDone done);

  // Any thread: what is laid over the picture, painted for its size on the frame thread (again
  // when the size changes) as premultiplied RGBA, top row first; null takes it away.
  using OverlayPainter = std::function<std::vector<uint8_t>(int32_t width, int32_t height)>;
  void setOverlay(OverlayPainter painter);

  const GpuModel* gpuModel() const { return gpu_.get(); }
  const GpuImage& picture() const { return renderer_.picture(); }

 private:
  RenderDevice& device_;
  ModelRenderer renderer_;
  std::unique_ptr<GpuModel> gpu_;
  std::shared_ptr<ModelView> shown_;
  std::shared_ptr<const EnvironmentMaps> environment_;  // the one on the GPU
  bool created_ = false;
  std::mutex pictureMutex_;  // guards pictureDone_ and the overlay's painter
  PictureDone pictureDone_;
  OverlayPainter overlayPainter_;
  bool overlayChanged_ = false;
  // The frame thread's: the size the overlay on the GPU was painted for (0: none there).
  int32_t overlayWidth_ = 0, overlayHeight_ = 0;
};
