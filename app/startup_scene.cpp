#include "app/startup_scene.h"

#include <cstdio>
#include <string>

#include "platform/text.h"
#include "render/render_device.h"
#include "scene/scene.h"

void LoadStartupScene(Scene& scene, Camera& camera, StartupScene& contents,
                      const TextureLoader& loadTexture) {
  auto skeleton = std::make_unique<CSkelton>(&scene, &camera);
  if (skeleton->Load(u"./model/skelton.mdl", u"SKELTON", nullptr, 1, loadTexture)) {
    contents.skeleton = skeleton.get();
    scene.firstList.append(skeleton.get());
    contents.characters.push_back(std::move(skeleton));
  } else {
    std::fprintf(stderr, "./model/skelton.mdl: cannot be loaded; the viewer starts without the skeleton\n");
  }

  scene.LoadAnimation(u"./model/walk.ani", u"WALK");
  scene.LoadAnimation(u"./model/stand.ani", u"STAND");
  scene.BindAnimations();
  scene.SetSkeletonScale(0.4f, 0.4f, 0.4f, 0.4f);
  scene.SetSkeletonPosition(0, 0, 0);
  if (contents.skeleton != nullptr) contents.skeleton->SetAnimation(u"STAND", 3.0f);

  for (int row = 1; row <= 7; ++row) {
    for (int column = 1; column <= 7; ++column) {
      std::u16string r(1, static_cast<char16_t>(u'0' + row)), c(1, static_cast<char16_t>(u'0' + column));
      std::u16string path = u"./model/field/field" + r + u"-" + c + u".mdl";
      auto tile = std::make_unique<CCharacterBase>(&scene, &camera);
      if (!tile->Load(path, u"Field" + r + u"_" + c, nullptr, 0, loadTexture)) {
        std::fprintf(stderr, "%s: cannot be loaded; the tile is left out\n", text::toUtf8(path).c_str());
        continue;
      }
      scene.thirdList.append(tile.get());
      tile->SetScale(2000, 2000, 2000, 2000);
      contents.characters.push_back(std::move(tile));
    }
  }
}

std::vector<const MeshSet*> StartupMeshSets(const StartupScene& contents) {
  std::vector<const MeshSet*> meshes;
  for (const auto& character : contents.characters) {
    for (int32_t i = 1; i <= character->meshSets.count(); ++i) meshes.push_back(character->meshSets.at(i)->item);
  }
  return meshes;
}

bool UploadStartupScene(RenderDevice& device, const StartupScene& contents, std::string* error) {
  for (const MeshSet* mesh : StartupMeshSets(contents)) {
    if (!device.upload(*mesh, error)) return false;
  }
  return true;
}
