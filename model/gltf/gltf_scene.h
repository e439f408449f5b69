// The scene of a glTF document: cameras and punctual lights, the node tree of the scene shown
// (walked depth-first, parents before children, so node indices in the asset differ from the
// file's), GPU instancing, skins, and animations with their channels remapped to the asset's
// nodes.
#pragma once

#include "model/gltf/gltf_data.h"

namespace gltf {

// The document's "cameras" into c.out.cameras and KHR_lights_punctual lights into c.out.lights.
bool readCamerasAndLights(Context& c);
// The nodes of the scene shown into c.out.nodes, then c.out.skins and c.out.animations. Needs
// the meshes (morph target counts) read first.
bool readScene(Context& c);

}  // namespace gltf
