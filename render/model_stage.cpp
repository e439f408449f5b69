#include "render/model_stage.h"

#include <cstdio>
#include <optional>

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

namespace {

// The window's presenter and a read-back of the same picture, for a frame that is both shown
// and kept.
class PresentAndRead final : public FramePresenter {
 public:
  PresentAndRead(RenderDevice& device, FramePresenter* window) : reader(device), window_(window) {}
  bool acquire() override {
    shown_ = window_ != nullptr && window_->acquire();
    return true;
  }
  void recordPresent(VkCommandBuffer cmd, const GpuImage& picture) override {
    if (shown_) window_->recordPresent(cmd, picture);
    reader.recordPresent(cmd, picture);
  }
  void present() override {
    if (shown_) window_->present();
    reader.present();
  }

  PictureReader reader;

 private:
  FramePresenter* window_;
  bool shown_ = false;
};

}  // namespace

void ModelStage::setOverlay(OverlayPainter painter) {
  std::lock_guard<std::mutex> lock(pictureMutex_);
  overlayPainter_ = std::move(painter);
  overlayChanged_ = true;
}

void ModelStage::requestPicture(PictureDone done) {
  std::lock_guard<std::mutex> lock(pictureMutex_);
  pictureDone_ = std::move(done);
}

bool ModelStage::renderFrame(double seconds, FramePresenter* presenter) {
  std::shared_ptr<ModelView> view = shown();
  if (!view || !gpu_) return true;
  view->Advance(seconds);
  const ModelFrame& frame = view->Frame();
  auto record = [&](VkCommandBuffer cmd) -> const GpuImage& { return renderer_.record(cmd, view->model(), *gpu_, frame); };
  PictureDone done;
  OverlayPainter painter;
  bool overlayChanged = false;
  {
    std::lock_guard<std::mutex> lock(pictureMutex_);
    done = std::move(pictureDone_);
    pictureDone_ = nullptr;
    painter = overlayPainter_;
    overlayChanged = overlayChanged_;
    overlayChanged_ = false;
  }
  const GpuImage& target = renderer_.picture();
  const int32_t width = static_cast<int32_t>(target.width), height = static_cast<int32_t>(target.height);
  if (overlayChanged || (painter && (width != overlayWidth_ || height != overlayHeight_))) {
    std::string error;
    const std::vector<uint8_t> pixels = painter ? painter(width, height) : std::vector<uint8_t>();
    if (!renderer_.setOverlay(pixels, width, height, &error)) std::fprintf(stderr, "modelviewer: %s\n", error.c_str());
    overlayWidth_ = painter ? width : 0;
    overlayHeight_ = painter ? height : 0;
  }
  std::optional<PresentAndRead> both;
  if (done) {
    both.emplace(device_, presenter);
    presenter = &*both;
  }
  bool ok = true;
  if (presenter == nullptr || !presenter->acquire()) {
    ok = device_.renderRecorded(record);
  } else {
    ok = device_.renderRecorded(record, [presenter](VkCommandBuffer cmd, const GpuImage& picture) {
      presenter->recordPresent(cmd, picture);
    });
    presenter->present();
  }
  if (done) {
    const GpuImage& picture = renderer_.picture();
    done(std::move(both->reader.rgba), static_cast<int32_t>(picture.width), static_cast<int32_t>(picture.height));
  }
  return ok;
}
