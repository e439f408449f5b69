// Images, samplers, textures and materials of a glTF document: metallic-roughness materials
// with every texture and its transform, and the material extensions real files use, turned
// into MaterialDescription. Images stay encoded (ImageSource); a texture whose only image is
// in a format nothing here decodes (KTX2) falls back to its plain image, or is left out.
#pragma once

#include "model/gltf/gltf_data.h"

namespace gltf {

// The document's "images" into c.out.images and "samplers" into c.out.samplers, one for one.
bool readImages(Context& c);
bool readSamplers(Context& c);
// The document's "materials" into c.out.materials, their textures resolved through "textures"
// to an image and a sampler.
bool readMaterials(Context& c);

}  // namespace gltf
