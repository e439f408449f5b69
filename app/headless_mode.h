// `modelviewer --headless`: the start-up scene rendered off-screen for a number of frames,
// with scripted arrow keys, the last frame saved as PNG and a summary printed as JSON. No X
// server is needed; it runs where there is no display, for tests, benchmarks and screenshots.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scene/view_shading.h"

struct HeadlessOptions {
  int64_t frames = 60;
  std::string screenshot;  // empty: none
  struct Hold {
    uint8_t scanCode = 0;
    int64_t first = 0, last = 0;  // frames, counted from 1, inclusive
  };
  std::vector<Hold> holds;
  bool stats = false;
  bool validation = false;  // Vulkan validation layers; any message fails the run
  bool emptyScene = false;  // the three passes with nothing loaded: the floor of a frame's cost
  // A model to picture instead of the start-up scene, framed as the window frames it, with
  // animation files; the picture is `width` x `height` and one frame unless --frames says.
  std::string model;
  std::vector<std::string> animations;
  int32_t width = 1280, height = 720;
  ViewShading shading;
  // A video of the model instead of a picture: one full turn from the framed view in
  // `turntableSeconds`, or one loop of animation set `animation` (1-based; 0: the turntable).
  std::string video;  // empty: none
  double turntableSeconds = 6;
  int32_t animation = 0;
  int32_t fps = 30;
};

// Parses the arguments after "--headless". Returns nothing, with a message in `error`, on a
// usage error.
std::optional<HeadlessOptions> ParseHeadlessOptions(const std::vector<std::string>& args,
                                                    std::string& error);

// Parses `--thumbnail SIZE INPUT OUTPUT` (the freedesktop thumbnailer's arguments: INPUT a path or
// a file:// URI) into the headless picture of the framed model, SIZE x SIZE, written to OUTPUT.
std::optional<HeadlessOptions> ParseThumbnailOptions(const std::vector<std::string>& args,
                                                     std::string& error);

// Runs the headless mode in the current directory (the run folder). Returns the exit status:
// 0 on success, 1 when the device, the shaders, the screenshot or the video failed (one line
// on stderr; no file is left at the video's path).
int RunHeadless(const HeadlessOptions& options);
