#include "render/model_stage.h"

#include "render/frame_presenter.h"
#include "render/render_device.h"

ModelStage::~ModelStage() {
  if (gpu_) gpu_->release(device_);
}

bool ModelStage::resize(int32_t width, int32_t height, std::string* error) {
  if (created_) return renderer_.resize(width, height, error);
  created_ = renderer_.create(width, height, error);
  return created_;
}

bool ModelStage::show(std::shared_ptr<ModelView> view, std::string* error) {
  if (view->environment() == nullptr && environment_ == nullptr) {
    if (error) *error = "the model view has no environment light";
    return false;
  }
  if (view->environment() != nullptr && view->environment() != environment_) {
    if (!renderer_.setEnvironment(*view->environment(), error)) return false;
    environment_ = view->environment();
  }
  renderer_.setShading(view->shading());
  auto next = std::make_unique<GpuModel>();
  if (!next->upload(device_, view->model(), error)) return false;
  if (gpu_) gpu_->release(device_);  // the one wait: no frame is in flight between frames anyway
  gpu_ = std::move(next);
  renderer_.modelChanged();
  std::atomic_store(&shown_, std::move(view));
  return true;
}

bool ModelStage::renderFrame(double seconds, FramePresenter* presenter) {
  std::shared_ptr<ModelView> view = shown();
  if (!view || !gpu_) return true;
  view->Advance(seconds);
  const ModelFrame& frame = view->Frame();
  auto record = [&](VkCommandBuffer cmd) -> const GpuImage& { return renderer_.record(cmd, view->model(), *gpu_, frame); };
  if (presenter == nullptr || !presenter->acquire()) return device_.renderRecorded(record);
  const bool ok = device_.renderRecorded(record, [presenter](VkCommandBuffer cmd, const GpuImage& picture) {
    presenter->recordPresent(cmd, picture);
  });
  presenter->present();
  return ok;
}
