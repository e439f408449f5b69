// The model view's tools beyond the camera: H lays the list of every key and mouse action over
// the picture (drawn with Cairo for the picture's size); Page Down and Page Up open the next or previous
// model file of the shown model's folder (by the format table, in name order); F12 writes a
// PNG of the display window's picture into the model's folder (or the working folder where
// that is not writable) and names it in the bar; and when the shown file or an image file it
// uses is rewritten on disk, the model is read again, the camera kept, once the writes have
// stopped for kSettleTime.
//
// Threads: keys arrive on the input thread, pictures on the frame thread, and the watch runs
// on a thread of its own; files are written on the UI thread (through `post`).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class DroppedModels;
class ModelStage;

// The model files of `file`'s folder in name order, and the one `step` places after (or, with
// a negative step, before) it, wrapping around; `file` itself when it is the only one.
std::filesystem::path NeighbourModel(const std::filesystem::path& file, int step);

// The first free "STEM-N.png" (N from 1) in `folder`.
std::filesystem::path FreePictureName(const std::filesystem::path& folder, const std::string& stem);

class ViewerTools {
 public:
  // A rewrite's writes are taken as done once none has come for this long.
  static constexpr std::chrono::milliseconds kSettleTime{300};

  // Runs a task on the UI thread.
  using Post = std::function<void(std::function<void()>)>;

  // Messages go to the bar through `drops`, which also loads what the tools open.
  ViewerTools(DroppedModels& drops, ModelStage& stage, std::filesystem::path workingFolder, Post post);
  ~ViewerTools();  // stop()
  ViewerTools(const ViewerTools&) = delete;
  ViewerTools& operator=(const ViewerTools&) = delete;

  // Input thread: the keyboard state after the model view took its keys.
  void onKeys(const uint8_t keys[256]);
  // Any thread: the shown model changed (a drop, the next file); the watch follows it.
  void followShown();
  // Ends the watch; later keys do nothing.
  void stop();

 private:
  void nextModel(int step);
  void takePicture();
  void writePicture(std::vector<uint8_t> rgba, int32_t width, int32_t height);
  void watchLoop();

  DroppedModels& drops_;
  ModelStage& stage_;
  const std::filesystem::path workingFolder_;
  const Post post_;
  uint8_t previous_[256] = {};
  bool keysShown_ = false;  // the input thread's: the overlay of the keys is shown

  std::mutex mutex_;  // guards stopping_
  bool stopping_ = false;
  int wakeFd_ = -1;  // written to wake the watch: the file changed, or stop
  std::thread watcher_;
};
