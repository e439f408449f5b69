#include "app/model_view_setup.h"

#include <cstdio>
#include <filesystem>

#include "render/render_device.h"
#include "scene/camera.h"
#include "scene/model_view.h"
#include "scene/scene.h"

bool LoadModelView(ModelView& view, Scene& scene, Camera& camera, RenderDevice& device, const std::string& model,
                   const std::vector<std::string>& animations, int32_t width, int32_t height) {
  SetModelViewSize(view, camera, width, height);
  std::vector<std::filesystem::path> files(animations.begin(), animations.end());
  if (!view.Load(model, files, device.textureLoader())) {
    device.releaseTextures(view.loadedTextures());
    return false;
  }
  std::string error;
  if (ShowModelView(view, scene, camera, device, width, height, &error)) return true;
  std::fprintf(stderr, "%s: %s\n", model.c_str(), error.c_str());
  return false;
}

bool ShowModelView(ModelView& view, Scene& scene, Camera& camera, RenderDevice& device, int32_t width,
                   int32_t height, std::string* error) {
  const std::vector<const MeshSet*> meshes = view.drawnMeshSets();
  for (const MeshSet* mesh : meshes) {
    if (device.upload(*mesh, error)) continue;
    for (const MeshSet* uploaded : meshes) device.release(*uploaded);
    device.releaseTextures(view.loadedTextures());
    return false;
  }
  scene.RemoveAll();
  SetModelViewSize(view, camera, width, height);
  view.AddTo(scene);
  view.Update();  // the camera set before the first frame
  return true;
}

void SetModelViewSize(ModelView& view, Camera& camera, int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return;
  camera.width = width;
  camera.height = height;
  camera.aspect = static_cast<float>(width) / static_cast<float>(height);
  view.SetViewport(width, height);
}
