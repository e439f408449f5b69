#include "scene/camera.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>

#include "model/matrix_math.h"

namespace {

// 1.00005 and -1.00005 as the single-precision values the depth mapping uses.
constexpr float kDepthScale = std::bit_cast<float>(0x3F8001A3u);
constexpr float kDepthOffset = std::bit_cast<float>(0xBF8001A3u);

constexpr float kUp[3] = {0, 0, 1};

void normalize(float v[3]) {
  float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (length == 0.0f) return;
  for (int i = 0; i < 3; ++i) v[i] = v[i] / length;
}

void cross(float out[3], const float a[3], const float b[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

float dot(const float a[3], const float b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// The look-to matrix seen through a mirror that negates view-space x.
Matrix4 mirroredView(const float eye[3], const float target[3]) {
  float direction[3] = {target[0] - eye[0], target[1] - eye[1], target[2] - eye[2]};
  Matrix4 view = LookToMatrix(eye, direction, kUp);
  const Matrix4 mirror = {-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
  Matrix4 out;
  MatrixMultiply(out, view, mirror);
  return out;
}

void store(FrameConstantImage& image, std::size_t at, const Matrix4& m) {
  Matrix4 t = TransposeMatrix(m);
  std::memcpy(image.data() + at, t.data(), sizeof t);
}

void publish(const FrameConstantImage& image, void* mapped) {
  if (mapped != nullptr) std::memcpy(mapped, image.data(), kFrameConstantBytes);
}

}  // namespace

Matrix4 LookToMatrix(const float eye[3], const float direction[3], const float up[3]) {
  float z[3] = {direction[0], direction[1], direction[2]};
  normalize(z);
  float x[3];
  cross(x, up, z);
  normalize(x);
  float y[3];
  cross(y, z, x);
  return {x[0], y[0], z[0], 0,  //
          x[1], y[1], z[1], 0,  //
          x[2], y[2], z[2], 0,  //
          -dot(x, eye), -dot(y, eye), -dot(z, eye), 1};
}

Matrix4 ProjectionMatrix(float fieldOfView, float aspect) {
  float s, c;
  ScalarSinCos(&s, &c, fieldOfView / 360.0f * 2.0f * 3.14159f * 0.5f);
  float scale = c / s;
  return {scale / aspect, 0, 0, 0,  //
          0, scale, 0, 0,           //
          0, 0, kDepthScale, 1,     //
          0, 0, kDepthOffset, 0};
}

bool Camera::UpdateSceneView(FrameConstantImage& image, void* mapped) const {
  namespace fc = frame_constants;
  store(image, fc::kLightView, mirroredView(lightPosition, lightTarget));
  store(image, fc::kLightProjection, ProjectionMatrix(fieldOfView, 1.0f));

  float target[3] = {sceneViewTarget[0], sceneViewTarget[1], sceneViewTarget[2] + targetLift};
  store(image, fc::kSceneWorld, kIdentityMatrix);
  store(image, fc::kSceneView, mirroredView(sceneViewEye, target));
  store(image, fc::kSceneProjection, ProjectionMatrix(fieldOfView, aspect));

  std::fill(image.begin() + fc::kLightColors, image.begin() + fc::kLightPositions + 64, 0.0f);
  float* color = image.data() + fc::kLightColors;
  color[0] = color[1] = color[2] = 1.0f;
  color[3] = lightStrength;
  float* light = image.data() + fc::kLightPositions;
  light[0] = lightPosition[0];
  light[1] = lightPosition[1];
  light[2] = lightPosition[2];
  light[3] = 0.0f;
  float* size = image.data() + fc::kRenderSize;
  size[0] = static_cast<float>(width);
  size[1] = static_cast<float>(height);
  size[2] = size[3] = 0.0f;
  publish(image, mapped);
  return true;
}

bool Camera::UpdateFollowView(FrameConstantImage& image, void* mapped) const {
  namespace fc = frame_constants;
  store(image, fc::kFollowWorld, kIdentityMatrix);
  store(image, fc::kFollowView, mirroredView(followViewEye, followViewTarget));
  store(image, fc::kFollowProjection, ProjectionMatrix(fieldOfView, 1.0f));
  publish(image, mapped);
  return true;
}
