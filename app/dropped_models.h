// DroppedModels: the model view's files dropped on the window. Which file lists a drop may
// carry; a loader thread that reads and builds the dropped models off the UI thread, in order
// (files, images and all, on the CPU); and the swap of the shown model for a new one on the
// frame thread, between frames, where the device and the Scene's lists belong while the
// threads run: the frame thread only uploads.
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

#include "scene/view_shading.h"

class MeshSet;
class ModelStage;
class ModelView;
class RenderDevice;
class Scene;

// Whether a drop of `paths` can be used: at least one file, every one a model of a format the
// viewer reads (by its name or its first bytes) or an animation file.
bool TakesDroppedFiles(const std::vector<std::string>& paths);

class DroppedModels {
 public:
  // How long a message (a failed load's, a tool's) stays in the bar.
  static constexpr std::chrono::seconds kMessageTime{5};

  struct Callbacks {
    // Frame thread: a new model is shown (the render size may now follow the window).
    std::function<void()> shown;
    // Any thread: the bar's message changed (a drop that could not be used, whose one line is
    // already on stderr, or a tool's news).
    std::function<void(const std::string& message)> messaged;
  };

  // Dropped models are lit and shown as `shading` says.
  DroppedModels(RenderDevice& device, ModelStage& stage, Scene& scene, Callbacks callbacks, ViewShading shading = {});
  ~DroppedModels();  // stop() when not done
  DroppedModels(const DroppedModels&) = delete;
  DroppedModels& operator=(const DroppedModels&) = delete;

  // Before the threads run: what is shown, which a drop replaces. The start-up scene's
  // `startupMeshes` are given back when a model first takes its place; `file` and `animations`
  // are what a dropped .ani extends (none for the start-up scene).
  void setShown(std::vector<const MeshSet*> startupMeshes, std::string file = {},
                std::vector<std::string> animations = {});

  // UI thread: loads the files of a drop, in order, on the loader thread (started on first use).
  // A model replaces what is shown; .ani files extend the last model before them, else the
  // shown one, which is then read again with them.
  void drop(std::vector<std::string> paths);
  // Any thread: reads the shown model (with its animation files) again and shows it with the
  // camera where it is.
  void reload();
  // Any thread: the model file last read (shown, or about to be); empty for the start-up scene.
  std::string shownFile() const;

  // Frame thread, before a frame, with the Scene's lists to itself: shows a loaded model (its
  // model uploaded, framed for a `width` x `height` picture) in place of the shown one. A model
  // loaded and passed over by a later one before it is shown is never uploaded.
  void frameHook(int32_t width, int32_t height);

  // Any thread: the bar's extra text: the last message for kMessageTime, else the shown model's
  // status.
  std::string barText() const;
  // Any thread: shows `message` in the bar for kMessageTime and tells callbacks_.messaged.
  void showMessage(const std::string& message);

  // Once the frame thread has ended: waits for the load in progress to end. Later drops are
  // ignored.
  void stop();

 private:
  struct Load {
    std::string model;
    std::vector<std::string> animations;
    bool keepCamera = false;
  };
  struct Drop {
    std::vector<std::string> paths;
    bool reload = false;  // paths empty: the last model again
  };
  void loaderLoop();
  void load(const Load& request);

  RenderDevice& device_;
  ModelStage& stage_;
  Scene& scene_;
  Callbacks callbacks_;
  const ViewShading shading_;

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::deque<Drop> drops_;
  bool stopping_ = false;
  std::shared_ptr<ModelView> loaded_;
  bool loadedKeepsCamera_ = false;
  std::vector<const MeshSet*> startupMeshes_;
  std::string message_;
  std::chrono::steady_clock::time_point messageUntil_;

  // The last model read, which later .ani files extend: written by the loader thread.
  Load last_;
  std::thread loader_;
};
