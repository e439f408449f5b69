#include "scene/shadow_reach.h"

#include <algorithm>
#include <cmath>

#include "model/matrix_math.h"

namespace {

namespace shader {
#include "shaders/shadow_area.glsl"
}  // namespace shader

namespace fc = frame_constants;

// The frame constants hold each matrix column by column.
Matrix4 matrixAt(const FrameConstantImage& frame, std::size_t at) {
  Matrix4 stored;
  std::copy(frame.begin() + static_cast<std::ptrdiff_t>(at), frame.begin() + static_cast<std::ptrdiff_t>(at + 16),
            stored.begin());
  return TransposeMatrix(stored);
}

// A corner nearer the light's eye plane than this says nothing about where the box projects
// (the light's near plane is at 1).
constexpr float kMinW = 1e-3f;
// The look-up reads the 2 x 2 texels around its point; the rest covers the difference between
// the CPU's rounding and the device's.
constexpr float kMarginTexels = 4;

}  // namespace

ShadowReach::ShadowReach(const FrameConstantImage& frame, uint32_t mapWidth, uint32_t mapHeight) {
  const Matrix4 lightProjection = matrixAt(frame, fc::kLightProjection);
  MatrixMultiply(toLightClip_, matrixAt(frame, fc::kLightView), lightProjection);
  // The shaders' followTarget: the follow view's eye, plus its view axis times the distance.
  const Matrix4 follow = matrixAt(frame, fc::kFollowView);
  float target[4] = {0, 0, 0, 1};
  for (int j = 0; j < 3; ++j) {
    const float eye = -(follow[12] * follow[j * 4] + follow[13] * follow[j * 4 + 1] + follow[14] * follow[j * 4 + 2]);
    target[j] = eye + follow[j * 4 + 2] * shader::kFollowDistance;
  }
  float clip[4];
  TransformRow(clip, target, toLightClip_);
  const float* light = frame.data() + fc::kLightPositions;
  const float distance = std::hypot(light[0] - target[0], light[1] - target[1], light[2] - target[2]);
  zoom_ = distance / (lightProjection[5] * shader::kShadowRadius);
  centre_[0] = clip[0] / clip[3];
  centre_[1] = clip[1] / clip[3];
  margin_[0] = kMarginTexels * 2.0f / static_cast<float>(std::max<uint32_t>(mapWidth, 1));
  margin_[1] = kMarginTexels * 2.0f / static_cast<float>(std::max<uint32_t>(mapHeight, 1));
  everywhere_ = !(clip[3] > kMinW) || !std::isfinite(zoom_) || !std::isfinite(centre_[0]) || !std::isfinite(centre_[1]);
}

bool ShadowReach::project(const SceneBounds& box, const Matrix4& world, MapRect& out) const {
  out = MapRect{};
  if (box.empty) return true;
  Matrix4 toClip;
  MatrixMultiply(toClip, world, toLightClip_);
  for (int corner = 0; corner < 8; ++corner) {
    const float p[4] = {(corner & 1) ? box.max[0] : box.min[0], (corner & 2) ? box.max[1] : box.min[1],
                        (corner & 4) ? box.max[2] : box.min[2], 1.0f};
    float clip[4];
    TransformRow(clip, p, toClip);
    if (!(clip[3] > kMinW)) return false;
    const float at[2] = {(clip[0] / clip[3] - centre_[0]) * zoom_, (clip[1] / clip[3] - centre_[1]) * zoom_};
    if (!std::isfinite(at[0]) || !std::isfinite(at[1])) return false;
    out.add(at);
  }
  return true;
}

void ShadowReach::addCaster(const SceneBounds& box, const Matrix4& world) {
  MapRect rect;
  if (everywhere_ || !project(box, world, rect)) {
    everywhere_ = true;
    return;
  }
  if (rect.empty) return;
  float low[2], high[2];
  for (int k = 0; k < 2; ++k) {
    low[k] = rect.min[k] - margin_[k];
    high[k] = rect.max[k] + margin_[k];
    // The look-up wraps around the map's edges: a caster at one edge darkens the other.
    if (low[k] < -1.0f || high[k] > 1.0f) {
      low[k] = -INFINITY;
      high[k] = INFINITY;
    }
  }
  casters_.add(low);
  casters_.add(high);
}

bool ShadowReach::mayBeShadowed(const SceneBounds& box, const Matrix4& world) const {
  if (everywhere_) return true;
  if (casters_.empty) return false;
  MapRect rect;
  if (!project(box, world, rect)) return true;
  if (rect.empty) return false;
  for (int k = 0; k < 2; ++k) {
    if (rect.max[k] < casters_.min[k] || rect.min[k] > casters_.max[k]) return false;
  }
  return true;
}

TriangleRuns CutIntoTriangleRuns(const std::vector<uint32_t>& indices, const std::vector<ModelVertex>& vertices,
                                 const Matrix4& bindShape) {
  TriangleRuns runs;
  const std::size_t triangles = indices.size() / 3;
  if (indices.empty()) return runs;
  const std::size_t perRun = std::max(TriangleRuns::kMinTriangles,
                                      (triangles + TriangleRuns::kMaxTriangleRuns - 1) / TriangleRuns::kMaxTriangleRuns);
  runs.indicesPerRun = perRun * 3;
  // Each vertex placed once, as the upload's skinning places an unweighted one.
  std::vector<float> placed(vertices.size() * 3);
  for (std::size_t v = 0; v < vertices.size(); ++v) {
    const float p[4] = {vertices[v].position[0], vertices[v].position[1], vertices[v].position[2], 1.0f};
    float out[4];
    TransformRow(out, p, bindShape);
    std::copy(out, out + 3, placed.begin() + static_cast<std::ptrdiff_t>(v * 3));
  }
  runs.boxes.resize((indices.size() + runs.indicesPerRun - 1) / runs.indicesPerRun);
  for (std::size_t i = 0; i < indices.size(); ++i) {
    if (indices[i] < vertices.size()) runs.boxes[i / runs.indicesPerRun].add(&placed[indices[i] * std::size_t{3}]);
  }
  return runs;
}
