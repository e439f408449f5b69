// Which of a model's animation clips plays, paused or not, and how far it has played: the
// model view's animation choice. The input thread chooses, the frame thread advances; the clip
// loops at its last key.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

#include "scene/drawable_model.h"
#include "scene/drawable_model.h"

class ModelAnimator {
 public:
  // Plays the first clip, from its start, when the model has one.
  explicit ModelAnimator(const DrawableModel& model);

  int32_t clipCount() const { return static_cast<int32_t>(model_.animations.size()); }
  // Any thread: play clip `index` (0-based) from its start; an index past the list is ignored.
  void play(int32_t index);
  void togglePause();
  // "WALK 2/3" for the playing clip, with " (paused)" while paused; "" without clips.
  std::string statusText() const;

  // Frame thread: moves the clock on by `seconds` (not while paused) and poses the model for
  // it into `pose`, worlds composed. Returns false when the pose is the one the last call
  // gave (nothing plays, or it is paused and nothing was chosen since).
  bool advance(double seconds, ModelPose& pose);

 private:
  const DrawableModel& model_;
  mutable std::mutex mutex_;  // guards what follows
  int32_t playing_ = -1;
  bool paused_ = false;
  bool changed_ = true;  // a pose is due even if the clock stands
  double time_ = 0;
};
