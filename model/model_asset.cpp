#include "model/model_asset.h"

#include <algorithm>

#include "model/matrix_math.h"

float AnimationClip::duration() const {
  float last = 0;
  for (const AnimationChannel& channel : channels) {
    if (!channel.times.empty()) last = std::max(last, channel.times.back());
  }
  return last;
}

Matrix4 trsMatrix(const float t[3], const float r[4], const float s[3]) {
  const float x = r[0], y = r[1], z = r[2], w = r[3];
  // The rotation of a unit quaternion, as rows for row vectors (the transpose of the usual
  // column-vector matrix), each row scaled by its axis's scale.
  const float rows[3][3] = {
      {1 - 2 * (y * y + z * z), 2 * (x * y + z * w), 2 * (x * z - y * w)},
      {2 * (x * y - z * w), 1 - 2 * (x * x + z * z), 2 * (y * z + x * w)},
      {2 * (x * z + y * w), 2 * (y * z - x * w), 1 - 2 * (x * x + y * y)},
  };
  Matrix4 m = kIdentityMatrix;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m[i * 4 + j] = rows[i][j] * s[i];
  }
  m[12] = t[0];
  m[13] = t[1];
  m[14] = t[2];
  return m;
}

std::vector<Matrix4> nodeWorlds(const ModelAsset& asset) {
  std::vector<Matrix4> worlds(asset.nodes.size(), kIdentityMatrix);
  for (std::size_t i = 0; i < asset.nodes.size(); ++i) {
    const AssetNode& node = asset.nodes[i];
    // Parents come first, so theirs is ready; a parent index that breaks the rule is a root.
    if (node.parent >= 0 && static_cast<std::size_t>(node.parent) < i) {
      MatrixMultiply(worlds[i], node.local, worlds[static_cast<std::size_t>(node.parent)]);
    } else {
      worlds[i] = node.local;
    }
  }
  return worlds;
}
