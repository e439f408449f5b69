// Setting up the model view for the desktop program and the headless mode alike: the model
// read and built on the CPU (before any window or device exists, so that a model that cannot
// be shown ends the program before either), and the picture sizes the device can take.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "scene/view_shading.h"

class ModelView;
struct EnvironmentMaps;

// Reads `model` with `animations` and makes its view for a `width` x `height` picture, lit
// and shown as `shading` says (its environment computed beside the model's reading). Null
// after one line on stderr naming the file and the reason.
std::shared_ptr<ModelView> LoadModelView(const std::string& model, const std::vector<std::string>& animations,
                                         int32_t width, int32_t height, const ViewShading& shading = {});

// The environment light `shading` names (the built-in studio without an .hdr file): made once
// a process, and read from the cache folder (EnvironmentCacheFolder) when it holds it. Any
// thread; a file that cannot be read is one warning, and the studio lights instead.
std::shared_ptr<const EnvironmentMaps> EnvironmentFor(const ViewShading& shading);
// $XDG_CACHE_HOME/modelviewer, else ~/.cache/modelviewer; empty where neither is known.
std::filesystem::path EnvironmentCacheFolder();

// The largest picture of the shape `width` x `height` that `maxSide` and the memory budget for
// its targets allow (the same when it fits).
struct PictureSize {
  int32_t width = 0, height = 0;
};
PictureSize LargestPicture(int32_t width, int32_t height, uint32_t maxSide);

// The memory the model view's targets may take: beyond it, a picture is refused.
inline constexpr uint64_t kTargetBudgetBytes = uint64_t{1} << 30;
