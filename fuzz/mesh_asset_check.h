// What every mesh reader's asset must hold, whatever the bytes were: checked by the STL, PLY
// and OBJ fuzz targets, which stop (trap) on the first breach.
#pragma once

#include "model/model_asset.h"

inline void checkMeshAsset(const ModelAsset& asset) {
  for (const AssetNode& node : asset.nodes) {
    if (node.mesh < 0 || static_cast<std::size_t>(node.mesh) >= asset.meshes.size()) __builtin_trap();
  }
  for (const Mesh& mesh : asset.meshes) {
    if (mesh.primitives.empty()) __builtin_trap();
    for (const MeshPrimitive& p : mesh.primitives) {
      const std::size_t n = p.vertexCount();
      if (p.positions.size() != 3 * n || n == 0) __builtin_trap();
      if (!p.normals.empty() && p.normals.size() != 3 * n) __builtin_trap();
      if (!p.colors.empty() && p.colors.size() != 4 * n) __builtin_trap();
      if (!p.texCoords[0].empty() && p.texCoords[0].size() != 2 * n) __builtin_trap();
      if (p.indices.empty() || p.indices.size() % (p.mode == PrimitiveMode::kTriangles ? 3 : p.mode == PrimitiveMode::kLines ? 2 : 1) != 0) {
        __builtin_trap();
      }
      for (uint32_t i : p.indices) {
        if (i >= n) __builtin_trap();
      }
      if (p.material >= static_cast<int32_t>(asset.materials.size())) __builtin_trap();
    }
  }
  for (const MaterialDescription& m : asset.materials) {
    for (const TextureRef* t : {&m.baseColorTexture, &m.normalTexture, &m.emissiveTexture, &m.specular.colorTexture,
                                &m.sheen.colorTexture}) {
      if (t->image >= static_cast<int32_t>(asset.images.size())) __builtin_trap();
      if (t->sampler >= static_cast<int32_t>(asset.samplers.size())) __builtin_trap();
    }
  }
}
