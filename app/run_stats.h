// The JSON summary that `--stats` prints at the end of a run, headless or in the window: the
// frames drawn, the scene steps taken, the time they took, the device, and the skeleton's
// place and state. Knows nothing of how the run was driven.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

class CSkelton;

struct RunStats {
  int64_t frames = 0, steps = 0;
  double seconds = 0;
  std::string device;
  const CSkelton* skeleton = nullptr;  // null: "skeleton": null
};

// Writes the summary as one line of JSON to `out`.
void PrintRunStats(std::FILE* out, const RunStats& stats);
