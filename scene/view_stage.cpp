#include "scene/view_stage.h"

#include <algorithm>
#include <cmath>

#include "model/matrix_math.h"

namespace {

// The key light: high, in front and to the left, so that the shadow falls behind the model.
constexpr float kToLight[3] = {-0.3244f, -0.4867f, 0.8111f};  // (-4, -6, 10) made unit length

}  // namespace

ViewStage StageFor(const SceneBounds& framed) {
  ViewStage stage;
  float centre[3];
  boxCentre(framed, centre);
  float radius = 0;
  for (int k = 0; k < 3; ++k) radius += (framed.max[k] - framed.min[k]) * (framed.max[k] - framed.min[k]) / 4;
  radius = std::max(std::sqrt(radius), kViewRadius * 0.01f);
  // Just under the lowest point, so that a flat base does not fight the ground for pixels.
  stage.groundHeight = framed.min[2] - kViewRadius * 0.002f;
  std::copy(kToLight, kToLight + 3, stage.toLight);
  std::copy(centre, centre + 3, stage.shadowCentre);
  // The shadow of the sphere around the model reaches along the ground as far as the light is
  // low; the map covers the sphere and that reach.
  const float reach = radius / kToLight[2];
  stage.shadowRadius = std::max(radius, reach) * 1.1f;
  const float eye[3] = {centre[0] + kToLight[0] * 4 * radius, centre[1] + kToLight[1] * 4 * radius,
                        centre[2] + kToLight[2] * 4 * radius};
  const Matrix4 view = LookAtMatrix(eye, centre);
  // Orthographic, Vulkan's clip space, depth from near (0) to far (1) along the light.
  const float r = stage.shadowRadius, depth = 8 * radius + reach;
  const Matrix4 projection = {1 / r, 0, 0, 0,  //
                              0, -1 / r, 0, 0,  //
                              0, 0, -1 / depth, 0,  //
                              0, 0, 0, 1};
  MatrixMultiply(stage.lightViewProjection, view, projection);
  return stage;
}

