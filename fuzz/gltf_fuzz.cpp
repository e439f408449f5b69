// Feeds arbitrary bytes to the glTF reader as an in-memory .gltf or .glb document (no folder:
// external URIs are not read). It must fail or succeed cleanly: no crash, no hang, no
// out-of-bounds access, no leak, no allocation without bound; and what it reads must keep the
// asset's promises, which the drawable model relies on without checking again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "model/gltf/gltf_reader.h"

namespace {

void require(bool promise) {
  if (!promise) std::abort();
}

template <class T>
void sized(const std::vector<T>& values, std::size_t vertices, std::size_t width) {
  require(values.empty() || values.size() == vertices * width);
}

void texture(const ModelAsset& a, const TextureRef& t) {
  require(t.image < static_cast<int32_t>(a.images.size()));
  require(t.sampler < static_cast<int32_t>(a.samplers.size()));
  require(t.texCoord == 0 || t.texCoord == 1);
}

void checkAsset(const ModelAsset& a) {
  for (const MaterialDescription& m : a.materials) {
    for (const TextureRef* t : {&m.baseColorTexture, &m.metallicRoughnessTexture, &m.normalTexture, &m.occlusionTexture,
                                &m.emissiveTexture, &m.clearcoat.texture}) {
      texture(a, *t);
    }
  }
  for (const ImageSource& image : a.images) {
    if (image.inMemory())
      require(image.offset <= image.bytes->size() && image.size <= image.bytes->size() - image.offset);
  }
  for (const Mesh& mesh : a.meshes) {
    for (const MeshPrimitive& p : mesh.primitives) {
      const std::size_t n = p.vertexCount();
      require(p.positions.size() == n * 3);
      require(p.material < static_cast<int32_t>(a.materials.size()));
      sized(p.normals, n, 3);
      sized(p.tangents, n, 4);
      sized(p.texCoords[0], n, 2);
      sized(p.texCoords[1], n, 2);
      sized(p.colors, n, 4);
      sized(p.joints, n, 4);
      sized(p.weights, n, 4);
      require(p.joints.size() == p.weights.size());
      require(p.indices.size() == p.elementCount() * (p.mode == PrimitiveMode::kTriangles ? 3
                                                      : p.mode == PrimitiveMode::kLines   ? 2
                                                                                          : 1));
      for (uint32_t index : p.indices) require(index < n);
      for (const MorphTarget& t : p.targets) {
        sized(t.positions, n, 3);
        sized(t.normals, n, 3);
        sized(t.tangents, n, 3);
      }
      require(p.targets.size() <= mesh.weights.size());
    }
  }
  for (std::size_t i = 0; i < a.nodes.size(); ++i) {
    const AssetNode& node = a.nodes[i];
    require(node.parent < static_cast<int32_t>(i));
    require(node.mesh < static_cast<int32_t>(a.meshes.size()));
    require(node.skin < static_cast<int32_t>(a.skins.size()));
    require(node.light < static_cast<int32_t>(a.lights.size()));
    require(node.camera < static_cast<int32_t>(a.cameras.size()));
    if (node.skin >= 0 && node.mesh >= 0) {
      const std::size_t joints = a.skins[static_cast<std::size_t>(node.skin)].joints.size();
      for (const MeshPrimitive& p : a.meshes[static_cast<std::size_t>(node.mesh)].primitives) {
        for (uint16_t joint : p.joints) require(joint < joints || joints == 0 || joint == 0);
      }
    }
  }
  for (const Skin& skin : a.skins) {
    require(skin.inverseBinds.size() == skin.joints.size());
    for (int32_t joint : skin.joints) require(joint >= 0 && joint < static_cast<int32_t>(a.nodes.size()));
    require(skin.skeleton < static_cast<int32_t>(a.nodes.size()));
  }
  for (const AnimationClip& clip : a.animations) {
    for (const AnimationChannel& c : clip.channels) {
      require(c.node >= 0 && c.node < static_cast<int32_t>(a.nodes.size()));
      require(!c.times.empty() && c.values.size() % c.times.size() == 0);
    }
  }
  (void)nodeWorlds(a);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  ModelAsset asset;
  // Warnings are expected for most inputs; printing them would only slow the run.
  if (readGltfBytes({data, size}, {.name = "fuzz.gltf", .messages = false}, asset)) checkAsset(asset);
  return 0;
}
