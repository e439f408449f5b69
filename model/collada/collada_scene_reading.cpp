// The scene reading's driver, and the images' paths read as URIs.
#include <filesystem>
#include <memory>
#include <string>

#include "model/collada/collada_context.h"
#include "model/model_data.h"
#include "model/model_scene.h"
#include "platform/text.h"

namespace collada {

std::string resolveImageUri(std::string_view uri, const std::filesystem::path& documentFolder) {
  while (!uri.empty() && static_cast<unsigned char>(uri.front()) <= ' ') uri.remove_prefix(1);
  while (!uri.empty() && static_cast<unsigned char>(uri.back()) <= ' ') uri.remove_suffix(1);
  // "file:///a/b" is the absolute path /a/b; "file://a/b" and "file:a/b" name a/b.
  if (uri.substr(0, 8) == "file:///") {
    uri.remove_prefix(7);
  } else if (uri.substr(0, 7) == "file://") {
    uri.remove_prefix(7);
  } else if (uri.substr(0, 5) == "file:") {
    uri.remove_prefix(5);
  }
  std::string path = text::percentDecoded(uri);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (path.empty()) return path;
  std::filesystem::path resolved(path);
  if (resolved.is_relative()) resolved = documentFolder / resolved;
  return resolved.lexically_normal().string();
}

void readSceneImages(const ImportContext& context, ModelScene& scene) {
  const std::filesystem::path folder = std::filesystem::path(context.fileName).parent_path();
  forEachAlong(context.document, {"COLLADA", "library_images", "image"}, [&](pugi::xml_node image) {
    pugi::xml_attribute id = image.attribute("id");
    pugi::xml_node initFrom = image.child("init_from");
    // The exact import has warned about both already.
    if (!id || !initFrom) return;
    // COLLADA 1.5 wraps the URI in "ref".
    std::string_view uri = initFrom.child("ref") ? textOf(initFrom.child("ref")) : textOf(initFrom);
    SceneImage& entry = scene.images.emplace_back();
    entry.textureId = nameOf(id.value());
    entry.written = std::string(uri);
    // Whether it can be decoded is for the model's drawing to find out, once.
    entry.path = resolveImageUri(uri, folder);
  });
}

void readScene(const ImportContext& context) {
  auto scene = std::make_unique<ModelScene>();
  readSceneGeometries(context, *scene);
  readSceneInstances(context, *scene);
  readSceneImages(context, *scene);
  readSceneMaterials(context, *scene);
  readNodeAnimations(context, *scene);
  context.model.scene = std::move(scene);
}

}  // namespace collada
