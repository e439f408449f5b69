// The scene that start-up loads: the walking skeleton with its "WALK" and "STAND" animations,
// scaled and placed at the origin and standing, and the 7 x 7 field tiles. Shared by the
// desktop program and the headless mode.
#pragma once

#include <memory>
#include <vector>

#include "scene/character.h"
#include "scene/mesh_set.h"

class Camera;
class RenderDevice;
class Scene;

// The characters the start-up created; the Scene's lists refer to them.
struct StartupScene {
  std::vector<std::unique_ptr<CCharacterBase>> characters;
  CSkelton* skeleton = nullptr;  // null when "./model/skelton.mdl" failed to load
};

// Loads the skeleton into the Scene's first list, its two animations, its scale, position and
// "STAND", then the 49 tiles into the third list, scaled by 2000. Paths are relative to the
// current directory. A model that fails to load is left out, with a line on stderr.
void LoadStartupScene(Scene& scene, Camera& camera, StartupScene& contents,
                      const TextureLoader& loadTexture);

// Every MeshSet the start-up scene loaded, in load order.
std::vector<const MeshSet*> StartupMeshSets(const StartupScene& contents);

// Uploads the vertex and index arrays of every loaded model. False, with `error` set, when the
// device runs out of memory.
bool UploadStartupScene(RenderDevice& device, const StartupScene& contents, std::string* error);
