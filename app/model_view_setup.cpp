#include "app/model_view_setup.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <mutex>

#include "render/model_renderer.h"
#include "scene/drawable_model.h"
#include "scene/environment_light.h"
#include "scene/model_view.h"

std::filesystem::path EnvironmentCacheFolder() {
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && cache[0] == '/') {
    return std::filesystem::path(cache) / "modelviewer";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::filesystem::path(home) / ".cache" / "modelviewer";
  }
  return {};
}

std::shared_ptr<const EnvironmentMaps> EnvironmentFor(const ViewShading& shading) {
  // Every view of the process shares its environment: a dropped model is lit as the first.
  static std::mutex mutex;
  static std::map<std::filesystem::path, std::shared_ptr<const EnvironmentMaps>> made;
  std::lock_guard<std::mutex> lock(mutex);
  std::shared_ptr<const EnvironmentMaps>& maps = made[shading.hdri];
  if (maps) return maps;
  EnvironmentSource source = EnvironmentSource::studio();
  if (!shading.hdri.empty()) {
    std::string why;
    if (!EnvironmentSource::radianceFile(shading.hdri, source, &why)) {
      std::fprintf(stderr, "Warning: %s; the studio light is used instead\n", why.c_str());
      source = EnvironmentSource::studio();
    }
  }
  maps = std::make_shared<const EnvironmentMaps>(environmentMapsFor(source, EnvironmentCacheFolder(), nullptr));
  return maps;
}

std::shared_ptr<ModelView> LoadModelView(const std::string& model, const std::vector<std::string>& animations,
                                         int32_t width, int32_t height, const ViewShading& shading) {
  // The environment's maps are made (or read from the cache) while the model is read.
  std::future<std::shared_ptr<const EnvironmentMaps>> environment =
      std::async(std::launch::async, [shading] { return EnvironmentFor(shading); });
  std::vector<std::filesystem::path> files(animations.begin(), animations.end());
  std::shared_ptr<DrawableModel> drawable = loadDrawableModel(model, files);
  std::shared_ptr<const EnvironmentMaps> maps = environment.get();
  if (!drawable) return nullptr;
  auto view = std::make_shared<ModelView>(std::move(drawable));
  view->SetViewport(width, height);
  view->setLook(std::move(maps), shading);
  return view;
}

PictureSize LargestPicture(int32_t width, int32_t height, uint32_t maxSide) {
  double scale = 1;
  scale = std::min(scale, static_cast<double>(maxSide) / width);
  scale = std::min(scale, static_cast<double>(maxSide) / height);
  auto fits = [&](double s) {
    const auto w = static_cast<int32_t>(width * s), h = static_cast<int32_t>(height * s);
    return w >= 1 && h >= 1 && ModelRenderer::targetBytes(w, h) <= kTargetBudgetBytes;
  };
  while (scale > 0 && !fits(scale)) scale *= 0.99;
  return {std::max(1, static_cast<int32_t>(width * scale)), std::max(1, static_cast<int32_t>(height * scale))};
}
