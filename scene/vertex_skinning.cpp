#include "scene/vertex_skinning.h"

#include <algorithm>

namespace {

constexpr float kMinWeight = 1e-7f;

// v * M for a row vector.
std::array<float, 4> transform(const std::array<float, 4>& v, const Matrix4& m) {
  std::array<float, 4> out{};
  for (int j = 0; j < 4; ++j) out[j] = v[0] * m[j] + v[1] * m[4 + j] + v[2] * m[8 + j] + v[3] * m[12 + j];
  return out;
}

// The influence's bone as the shaders truncate it, or -1 when it names none of the 32.
int boneOf(const BoneWeight& b) {
  if (!(b.weight > kMinWeight) || !(b.boneIndex > -1.0f && b.boneIndex < static_cast<float>(kMaxSkinMatrices))) return -1;
  return static_cast<int>(b.boneIndex);
}

}  // namespace

void GatherSkinMatrices(const MeshSet& set, SkinMatrices& out) {
  out.fill(kIdentityMatrix);
  int64_t n = std::min<int64_t>(set.bones.count(), kMaxSkinMatrices);
  for (int64_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = (*set.bones.at(i))->skinMatrix;
}

bool HasBoneWeights(const GpuGeometry& geometry) {
  for (const ModelVertex& v : geometry.vertices) {
    for (const BoneWeight& b : v.bones) {
      if (b.weight > kMinWeight) return true;
    }
  }
  return false;
}

SceneBounds SkinVertices(const GpuGeometry& geometry, const SkinMatrices& skin, ModelVertex* out) {
  const Matrix4& bindShape = geometry.bindShapeMatrix;
  SceneBounds bounds;
  for (std::size_t i = 0; i < geometry.vertices.size(); ++i) {
    const ModelVertex& in = geometry.vertices[i];
    ModelVertex& v = out[i];
    v = in;
    std::array<float, 4> p = transform({in.position[0], in.position[1], in.position[2], 1.0f}, bindShape);
    std::array<float, 4> q = transform({in.normal[0], in.normal[1], in.normal[2], 0.0f}, bindShape);
    std::array<float, 4> sumP{}, sumQ{};
    float total = 0;
    for (const BoneWeight& b : in.bones) {
      int bone = boneOf(b);
      if (bone < 0) continue;
      std::array<float, 4> sp = transform(p, skin[static_cast<std::size_t>(bone)]);
      std::array<float, 4> sq = transform(q, skin[static_cast<std::size_t>(bone)]);
      for (int k = 0; k < 4; ++k) {
        sumP[k] += b.weight * sp[k];
        sumQ[k] += b.weight * sq[k];
      }
      total += b.weight;
    }
    if (total > 0) {
      p = sumP;
      q = sumQ;
    }
    std::copy(p.begin(), p.begin() + 3, v.position);
    std::copy(q.begin(), q.begin() + 3, v.normal);
    bounds.add(p.data());
  }
  return bounds;
}
