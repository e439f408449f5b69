#include "scene/model_animator.h"

#include <cmath>

ModelAnimator::ModelAnimator(const DrawableModel& model) : model_(model) {
  if (!model.animations.empty()) playing_ = 0;
}

void ModelAnimator::play(int32_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < 0 || index >= clipCount()) return;
  playing_ = index;
  time_ = 0;
  changed_ = true;
}

void ModelAnimator::togglePause() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (playing_ >= 0) paused_ = !paused_;
}

std::string ModelAnimator::statusText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (playing_ < 0) return {};
  std::string text = model_.animations[static_cast<std::size_t>(playing_)].name + " " + std::to_string(playing_ + 1) +
                     "/" + std::to_string(clipCount());
  if (paused_) text += " (paused)";
  return text;
}

bool ModelAnimator::advance(double seconds, ModelPose& pose) {
  int32_t clip;
  double time;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const bool moving = playing_ >= 0 && !paused_;
    if (!moving && !changed_ && !pose.worlds.empty()) return false;
    changed_ = false;
    clip = playing_;
    if (moving && seconds > 0) {
      const double duration = model_.animations[static_cast<std::size_t>(clip)].duration();
      time_ = duration > 0 ? std::fmod(time_ + seconds, duration) : 0;
    }
    time = time_;
  }
  if (clip >= 0) {
    SamplePose(model_, model_.animations[static_cast<std::size_t>(clip)], static_cast<float>(time), pose);
  } else {
    RestPose(model_, pose);
  }
  ComposeWorlds(model_, pose);
  return true;
}
