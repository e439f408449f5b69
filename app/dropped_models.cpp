#include "app/dropped_models.h"

#include <cstdio>
#include <filesystem>
#include <utility>

#include "app/model_view_setup.h"
#include "model/load_error.h"
#include "model/model_format.h"
#include "render/model_stage.h"
#include "render/render_device.h"
#include "scene/model_view.h"
#include "scene/scene.h"

bool TakesDroppedFiles(const std::vector<std::string>& paths) {
  if (paths.empty()) return false;
  for (const std::string& path : paths) {
    if (isAnimationFileName(path) || formatOfName(path) != nullptr) continue;
    // A model under another name is known by its first bytes.
    if (formatOfFile(path) == nullptr) return false;
  }
  return true;
}

DroppedModels::DroppedModels(RenderDevice& device, ModelStage& stage, Scene& scene, Callbacks callbacks,
                             ViewShading shading)
    : device_(device), stage_(stage), scene_(scene), callbacks_(std::move(callbacks)), shading_(std::move(shading)) {}

DroppedModels::~DroppedModels() { stop(); }

void DroppedModels::setShown(std::vector<const MeshSet*> startupMeshes, std::string file,
                             std::vector<std::string> animations) {
  std::lock_guard<std::mutex> lock(mutex_);
  startupMeshes_ = std::move(startupMeshes);
  last_ = {std::move(file), std::move(animations)};
}

void DroppedModels::drop(std::vector<std::string> paths) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  drops_.push_back({std::move(paths), false});
  if (!loader_.joinable()) loader_ = std::thread([this] { loaderLoop(); });
  wake_.notify_all();
}

void DroppedModels::reload() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || last_.model.empty()) return;
  drops_.push_back({{}, true});
  if (!loader_.joinable()) loader_ = std::thread([this] { loaderLoop(); });
  wake_.notify_all();
}

std::string DroppedModels::shownFile() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_.model;
}

void DroppedModels::loaderLoop() {
  for (;;) {
    Drop drop;
    Load again;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !drops_.empty(); });
      if (stopping_) return;
      drop = std::move(drops_.front());
      drops_.pop_front();
      again = last_;
    }
    if (drop.reload) {
      again.keepCamera = true;
      load(again);
      continue;
    }
    const std::vector<std::string>& paths = drop.paths;
    // A model with the .ani files after it is one load; .ani files first extend the last model.
    Load pending;
    bool havePending = false;
    for (const std::string& path : paths) {
      if (!isAnimationFileName(path)) {
        if (havePending) load(pending);
        pending = {path, {}};
        havePending = true;
        continue;
      }
      if (!havePending) {
        if (again.model.empty()) {
          LoadErrorCapture error;
          printLoadError("%s: no model is shown to add this animation to", path.c_str());
          showMessage(error.line());
          continue;
        }
        pending = again;
        havePending = true;
      }
      pending.animations.push_back(path);
    }
    if (havePending) load(pending);
  }
}

void DroppedModels::load(const Load& request) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
  }
  // The whole load, images decoded, here; the size is the frame thread's to set.
  LoadErrorCapture error;
  std::shared_ptr<ModelView> view = LoadModelView(request.model, request.animations, 1920, 1080, shading_);
  if (!view) {
    showMessage(error.line().empty() ? request.model + ": cannot be shown" : error.line());
    return;
  }
  // A model loaded before it and not yet shown is passed over.
  std::lock_guard<std::mutex> lock(mutex_);
  last_ = request;
  last_.keepCamera = false;
  loaded_ = std::move(view);
  loadedKeepsCamera_ = request.keepCamera;
}

void DroppedModels::showMessage(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    message_ = message;
    messageUntil_ = std::chrono::steady_clock::now() + kMessageTime;
  }
  if (callbacks_.messaged) callbacks_.messaged(message);
}

void DroppedModels::frameHook(int32_t width, int32_t height) {
  std::shared_ptr<ModelView> next;
  bool keepCamera = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    next = std::move(loaded_);
    keepCamera = loadedKeepsCamera_;
  }
  if (!next) return;
  next->SetViewport(width, height);
  if (std::shared_ptr<ModelView> old = stage_.shown(); keepCamera && old) next->KeepCamera(*old);
  std::string error;
  // The stage's passes exist from the first model on.
  if (!stage_.create(width, height, &error) || !stage_.show(next, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    showMessage(error);
    return;
  }
  std::vector<const MeshSet*> startup;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    startup = std::move(startupMeshes_);
  }
  if (!startup.empty()) {
    // The start-up scene is gone for good: its meshes, textures and targets go with it.
    scene_.RemoveAll();
    for (const MeshSet* mesh : startup) device_.release(*mesh);
    device_.releaseStartupTargets();
  }
  if (callbacks_.shown) callbacks_.shown();
}

std::string DroppedModels::barText() const {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!message_.empty() && std::chrono::steady_clock::now() < messageUntil_) return message_;
  }
  std::shared_ptr<ModelView> model = stage_.shown();
  return model ? model->StatusText() : std::string();
}

void DroppedModels::stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    wake_.notify_all();
  }
  if (loader_.joinable()) loader_.join();
}
