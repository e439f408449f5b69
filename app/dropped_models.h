// DroppedModels: the model view's files dropped on the window. Which file lists a drop may
// carry; a loader thread that reads the dropped models off the UI thread, in order; and the
// swap of the shown model for a new one on the frame thread, between frames, where the render
// device and the Scene's lists belong while the threads run. The device is touched only from
// frameHook(), texture loads of the loader thread included (they wait for the next frame).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class Camera;
class MeshSet;
class ModelView;
class RenderDevice;
class Scene;

// Whether a drop of `paths` can be used: at least one file, every one a .mdl, .dae or .ani
// (any letter case).
bool TakesDroppedFiles(const std::vector<std::string>& paths);

class DroppedModels {
 public:
  // How long a failed load's message stays in the bar.
  static constexpr std::chrono::seconds kMessageTime{5};

  struct Callbacks {
    // Frame thread: a new model is shown (the render size may now follow the window).
    std::function<void()> shown;
    // Loader or frame thread: a drop could not be used; its one line is already on stderr.
    std::function<void(const std::string& message)> failed;
  };

  DroppedModels(RenderDevice& device, Scene& scene, Camera& camera, Callbacks callbacks);
  ~DroppedModels();  // stop() when not done
  DroppedModels(const DroppedModels&) = delete;
  DroppedModels& operator=(const DroppedModels&) = delete;

  // Before the threads run: what is shown now, to be released when a drop replaces it. `model`
  // is null for the start-up scene, whose `meshes` are given instead; `file` and `animations`
  // are what a dropped .ani extends.
  void setShown(std::shared_ptr<ModelView> model, std::vector<const MeshSet*> meshes, std::string file = {},
                std::vector<std::string> animations = {});

  // UI thread: loads the files of a drop, in order, on the loader thread (started on first use).
  // A model replaces what is shown; .ani files extend the last model before them, else the
  // shown one, which is then read again with them.
  void drop(std::vector<std::string> paths);

  // Frame thread, before a frame's steps, with the Scene's lists to itself: runs the loader's
  // texture loads, then puts a loaded model in place of the shown one (uploaded, framed for a
  // `width` x `height` picture), releasing the old one's meshes and textures. Textures of a model
  // that fails, or that a later one passes over before it is shown, are released too.
  void frameHook(int32_t width, int32_t height);

  // Any thread: the shown model view; null while the start-up scene is shown.
  std::shared_ptr<ModelView> shown() const;
  // Any thread: the bar's extra text: a failed load's message for kMessageTime, else the shown
  // model's status.
  std::string barText() const;

  // Once the frame thread has ended: refuses the loader's waiting device work and waits for
  // the load in progress to end. Later drops are ignored.
  void stop();

 private:
  struct Load {
    std::string model;
    std::vector<std::string> animations;
  };
  void loaderLoop();
  void load(const Load& request);
  bool onFrameThread(const std::function<void()>& work);
  // Shows `message` in the bar for kMessageTime and tells callbacks_.failed.
  void fail(const std::string& message);

  RenderDevice& device_;
  Scene& scene_;
  Camera& camera_;
  Callbacks callbacks_;

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::deque<std::vector<std::string>> drops_;
  std::function<void()>* deviceWork_ = nullptr;  // the loader's, waiting for the frame thread
  bool deviceWorkDone_ = false;
  bool stopping_ = false;
  std::shared_ptr<ModelView> shown_, loaded_;
  std::vector<const MeshSet*> shownMeshes_;
  std::string message_;
  std::chrono::steady_clock::time_point messageUntil_;

  // The loader thread's own: the last model it read, which later .ani files extend.
  Load last_;
  std::thread loader_;
};
