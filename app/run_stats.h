// The JSON summary that `--stats` prints at the end of a run, headless or in the window: the
// frames drawn, the scene steps taken, the time they took, the device, and the skeleton's
// place and state, or the model view's bounds and camera. Knows nothing of how the run was driven.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class CSkelton;
class ModelView;

struct RunStats {
  int64_t frames = 0, steps = 0;
  double seconds = 0;
  std::string device;
  const CSkelton* skeleton = nullptr;  // null: "skeleton": null
  // A model view prints "model" (its bounds in model units, the scale to the view, the camera
  // and the playing animation) in place of "skeleton".
  const ModelView* modelView = nullptr;
};

// Writes the summary as one line of JSON to `out`.
void PrintRunStats(std::FILE* out, const RunStats& stats);
