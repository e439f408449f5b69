// Meshes of a glTF document: primitives with their attributes (quantized ones dequantized),
// indices checked against the vertices, every primitive mode turned into triangle, line or
// point lists, morph targets, Draco-compressed primitives decoded, and tangents made where a
// normal map needs them and the file gives none.
#pragma once

#include "model/gltf/gltf_data.h"

namespace gltf {

// The document's "meshes" into c.out.meshes, one for one. The materials must be read first:
// their normal textures decide where tangents are made.
bool readMeshes(Context& c);

}  // namespace gltf
