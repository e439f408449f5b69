#include "app/dropped_models.h"

#include <cstdio>
#include <filesystem>
#include <utility>

#include "app/model_view_setup.h"
#include "model/load_error.h"
#include "model/model_loader.h"
#include "render/render_device.h"
#include "scene/model_view.h"
#include "scene/scene.h"

namespace {

bool isAnimation(const std::string& path) {
  std::string suffix = std::filesystem::path(path).extension().string();
  for (char& c : suffix) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return suffix == ".ani";
}

}  // namespace

bool TakesDroppedFiles(const std::vector<std::string>& paths) {
  if (paths.empty()) return false;
  for (const std::string& path : paths) {
    if (modelFormatOfAnyCase(path) == ModelFormat::kUnknown && !isAnimation(path)) return false;
  }
  return true;
}

DroppedModels::DroppedModels(RenderDevice& device, Scene& scene, Camera& camera, Callbacks callbacks)
    : device_(device), scene_(scene), camera_(camera), callbacks_(std::move(callbacks)) {}

DroppedModels::~DroppedModels() { stop(); }

void DroppedModels::setShown(std::shared_ptr<ModelView> model, std::vector<const MeshSet*> meshes, std::string file,
                             std::vector<std::string> animations) {
  std::lock_guard<std::mutex> lock(mutex_);
  shown_ = std::move(model);
  shownMeshes_ = std::move(meshes);
  last_ = {std::move(file), std::move(animations)};
}

void DroppedModels::drop(std::vector<std::string> paths) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) return;
  drops_.push_back(std::move(paths));
  if (!loader_.joinable()) loader_ = std::thread([this] { loaderLoop(); });
  wake_.notify_all();
}

void DroppedModels::loaderLoop() {
  for (;;) {
    std::vector<std::string> paths;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !drops_.empty(); });
      if (stopping_) return;
      paths = std::move(drops_.front());
      drops_.pop_front();
    }
    // A model with the .ani files after it is one load; .ani files first extend the last model.
    Load pending;
    bool havePending = false;
    for (const std::string& path : paths) {
      if (!isAnimation(path)) {
        if (havePending) load(pending);
        pending = {path, {}};
        havePending = true;
        continue;
      }
      if (!havePending) {
        if (last_.model.empty()) {
          LoadErrorCapture error;
          printLoadError("%s: no model is shown to add this animation to", path.c_str());
          fail(error.line());
          continue;
        }
        pending = last_;
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
  auto model = std::make_shared<ModelView>(&camera_);
  std::vector<std::filesystem::path> animations(request.animations.begin(), request.animations.end());
  // Textures go to the device, which belongs to the frame thread: each waits for a frame.
  const TextureLoader deviceLoader = device_.textureLoader();
  const TextureLoader loadTexture = [&](const std::u16string& fileName, void*& resource, int64_t& slot) {
    bool loaded = false;
    onFrameThread([&] { loaded = deviceLoader(fileName, resource, slot); });
    return loaded;
  };
  LoadErrorCapture error;
  if (!model->Load(request.model, animations, loadTexture)) {
    // Textures may have loaded before the model failed.
    onFrameThread([&] { device_.releaseTextures(model->loadedTextures()); });
    fail(error.line().empty() ? request.model + ": cannot be shown" : error.line());
    return;
  }
  last_ = request;
  // A model loaded before it and not yet shown is passed over: its textures go before this one
  // can be shown.
  std::shared_ptr<ModelView> passedOver;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    passedOver = std::move(loaded_);
  }
  if (passedOver) onFrameThread([&] { device_.releaseTextures(passedOver->loadedTextures()); });
  std::lock_guard<std::mutex> lock(mutex_);
  loaded_ = std::move(model);
}

void DroppedModels::fail(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    message_ = message;
    messageUntil_ = std::chrono::steady_clock::now() + kMessageTime;
  }
  if (callbacks_.failed) callbacks_.failed(message);
}

bool DroppedModels::onFrameThread(const std::function<void()>& work) {
  std::function<void()> job = work;
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopping_) return false;
  deviceWork_ = &job;
  deviceWorkDone_ = false;
  wake_.wait(lock, [this] { return deviceWorkDone_ || stopping_; });
  deviceWork_ = nullptr;
  return deviceWorkDone_;
}

void DroppedModels::frameHook(int32_t width, int32_t height) {
  std::function<void()>* work = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!deviceWorkDone_) work = deviceWork_;
  }
  if (work != nullptr) {
    (*work)();  // the loader waits for it, so it outlives the call
    std::lock_guard<std::mutex> lock(mutex_);
    deviceWorkDone_ = true;
    wake_.notify_all();
  }
  std::shared_ptr<ModelView> next;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    next = std::move(loaded_);
  }
  if (!next) return;
  std::string error;
  if (!ShowModelView(*next, scene_, camera_, device_, width, height, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    fail(error);
    return;
  }
  const std::vector<const MeshSet*> meshes = next->drawnMeshSets();
  std::shared_ptr<ModelView> old;
  std::vector<const MeshSet*> oldMeshes;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    old = std::move(shown_);
    oldMeshes = std::move(shownMeshes_);
    shown_ = std::move(next);
    shownMeshes_ = meshes;
  }
  for (const MeshSet* mesh : oldMeshes) device_.release(*mesh);
  // Also those its meshes never drew (images no material of a drawn primitive uses).
  if (old) device_.releaseTextures(old->loadedTextures());
  if (callbacks_.shown) callbacks_.shown();
}

std::shared_ptr<ModelView> DroppedModels::shown() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return shown_;
}

std::string DroppedModels::barText() const {
  std::shared_ptr<ModelView> model;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!message_.empty() && std::chrono::steady_clock::now() < messageUntil_) return message_;
    model = shown_;
  }
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
