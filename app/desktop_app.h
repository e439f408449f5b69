// The desktop program: start-up in its fixed order, the message loop, and an orderly shutdown
// once config.ini is written. Returns the process's exit status: 1 after a normal close (as
// the viewer always has), 1 with a message on stderr when there is no display or no usable
// graphics device. `printStats` prints the run's JSON summary (app/run_stats.h) on stdout once
// the window has closed.
#pragma once

#include <string>
#include <vector>

#include "scene/view_shading.h"

struct DesktopOptions {
  bool printStats = false;
  // Vulkan validation layers (with synchronization validation) for the whole run; each message
  // goes to stderr as it comes and their count once the window has closed.
  bool validation = false;
  // A model to show instead of the start-up scene (app/model_view in scene/), with animation
  // files; empty: the start-up scene. A model that cannot be loaded ends the program with
  // status 1 and one line on stderr before any window shows.
  std::string model;
  std::vector<std::string> animations;
  ViewShading shading;  // for the model view, and every model dropped on it
};

int RunDesktop(const DesktopOptions& options = {});
