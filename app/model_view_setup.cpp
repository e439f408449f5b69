#include "app/model_view_setup.h"

#include <algorithm>
#include <cmath>
#include <filesystem>

#include "render/model_renderer.h"
#include "scene/drawable_model.h"
#include "scene/model_view.h"

std::shared_ptr<ModelView> LoadModelView(const std::string& model, const std::vector<std::string>& animations,
                                         int32_t width, int32_t height) {
  std::vector<std::filesystem::path> files(animations.begin(), animations.end());
  std::shared_ptr<DrawableModel> drawable = loadDrawableModel(model, files);
  if (!drawable) return nullptr;
  auto view = std::make_shared<ModelView>(std::move(drawable));
  view->SetViewport(width, height);
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
