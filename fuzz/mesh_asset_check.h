// What every mesh reader's asset must hold, whatever the bytes were: checked by the STL, PLY,
// OBJ and Assimp fuzz targets, which stop (trap) on the first breach.
#pragma once

#include <algorithm>

#include "model/model_asset.h"

inline void checkMeshAsset(const ModelAsset& asset) {
  for (const AssetNode& node : asset.nodes) {
    if (node.mesh < -1 || node.mesh >= static_cast<int32_t>(asset.meshes.size())) __builtin_trap();
    if (node.skin < -1 || node.skin >= static_cast<int32_t>(asset.skins.size())) __builtin_trap();
  }
  for (std::size_t n = 0; n < asset.nodes.size(); ++n) {
    if (asset.nodes[n].parent >= static_cast<int32_t>(n)) __builtin_trap();  // parents first
  }
  for (const Skin& skin : asset.skins) {
    if (skin.inverseBinds.size() != skin.joints.size()) __builtin_trap();
    for (int32_t joint : skin.joints) {
      if (joint < 0 || joint >= static_cast<int32_t>(asset.nodes.size())) __builtin_trap();
    }
  }
  for (const AnimationClip& clip : asset.animations) {
    for (const AnimationChannel& c : clip.channels) {
      if (c.node < 0 || c.node >= static_cast<int32_t>(asset.nodes.size())) __builtin_trap();
      const std::size_t width = c.path == AnimationPath::kRotation ? 4 : 3;
      if (c.values.size() != c.times.size() * width) __builtin_trap();
      for (std::size_t k = 1; k < c.times.size(); ++k) {
        if (!(c.times[k] > c.times[k - 1])) __builtin_trap();
      }
    }
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
      if (!p.joints.empty()) {
        if (p.joints.size() != 4 * n || p.weights.size() != 4 * n) __builtin_trap();
        std::size_t skinJoints = 0;
        for (const Skin& skin : asset.skins) skinJoints = std::max(skinJoints, skin.joints.size());
        for (uint16_t j : p.joints) {
          if (j >= skinJoints) __builtin_trap();
        }
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
