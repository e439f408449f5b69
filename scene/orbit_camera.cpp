#include "scene/orbit_camera.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kPi = 3.14159265f;
float radians(float degrees) { return degrees * kPi / 180.0f; }

void normalize(float v[3]) {
  const float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
  if (length > 0) {
    for (int i = 0; i < 3; ++i) v[i] /= length;
  }
}

void cross(const float a[3], const float b[3], float out[3]) {
  out[0] = a[1] * b[2] - a[2] * b[1];
  out[1] = a[2] * b[0] - a[0] * b[2];
  out[2] = a[0] * b[1] - a[1] * b[0];
}

float dot(const float a[3], const float b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace

void boxCentre(const SceneBounds& box, float centre[3]) {
  for (int k = 0; k < 3; ++k) centre[k] = (box.min[k] + box.max[k]) / 2;
}

void OrbitCamera::frame(const SceneBounds& box, float fieldOfView, float aspect) {
  float radius = 0;
  for (int k = 0; k < 3; ++k) radius += (box.max[k] - box.min[k]) * (box.max[k] - box.min[k]) / 4;
  // A single point still gets a view that shows something around it.
  radius = std::max(std::sqrt(radius), kViewRadius * 0.01f);
  float centre[3];
  boxCentre(box, centre);
  const float halfHeight = radians(fieldOfView) / 2;
  const float halfWidth = std::atan(std::tan(halfHeight) * aspect);
  const float half = std::min(halfHeight, halfWidth);
  yaw = kHomeYaw;
  pitch = kHomePitch;
  homeDistance = distance = radius / std::sin(half) * 1.12f;
  for (int k = 0; k < 3; ++k) target[k] = centre[k];
}

void OrbitCamera::orbit(float yawDegrees, float pitchDegrees) {
  yaw = std::fmod(yaw + yawDegrees, 360.0f);
  pitch = std::clamp(pitch + pitchDegrees, -kMaxPitch, kMaxPitch);
}

void OrbitCamera::zoom(float factor) {
  if (!(factor > 0)) return;
  distance = std::clamp(distance * factor, homeDistance * 0.4f, homeDistance * 8.0f);
}

void OrbitCamera::pan(float right, float up) {
  const float y = radians(yaw), p = radians(pitch);
  // The view's right and up directions for an eye at (yaw, pitch) looking at the target.
  const float r[3] = {-std::sin(y), std::cos(y), 0};
  const float u[3] = {-std::sin(p) * std::cos(y), -std::sin(p) * std::sin(y), std::cos(p)};
  for (int i = 0; i < 3; ++i) {
    target[i] += (r[i] * right + u[i] * up) * distance;
    // The model stays within reach of the view.
    target[i] = std::clamp(target[i], -4 * kViewRadius, 4 * kViewRadius);
  }
}

void OrbitCamera::eye(float out[3]) const {
  const float y = radians(yaw), p = radians(pitch);
  out[0] = target[0] + distance * std::cos(p) * std::cos(y);
  out[1] = target[1] + distance * std::cos(p) * std::sin(y);
  out[2] = target[2] + distance * std::sin(p);
}

Matrix4 OrbitCamera::viewMatrix() const {
  float e[3];
  eye(e);
  return LookAtMatrix(e, target);
}

Matrix4 LookAtMatrix(const float eye[3], const float target[3]) {
  float back[3] = {eye[0] - target[0], eye[1] - target[1], eye[2] - target[2]};
  normalize(back);
  const float up[3] = {0, 0, 1};
  float right[3], upward[3];
  cross(up, back, right);
  if (dot(right, right) == 0) {  // looking straight down or up
    const float y[3] = {0, 1, 0};
    cross(y, back, right);
  }
  normalize(right);
  cross(back, right, upward);
  // Rows for row vectors: the view-space axes are the columns.
  return {right[0], upward[0], back[0], 0,  //
          right[1], upward[1], back[1], 0,  //
          right[2], upward[2], back[2], 0,  //
          -dot(right, eye), -dot(upward, eye), -dot(back, eye), 1};
}

Matrix4 ReversedPerspective(float fieldOfView, float aspect, float nearPlane) {
  const float f = 1.0f / std::tan(radians(fieldOfView) / 2);
  // clip = (x f / aspect, -y f, near, -z): depth near / -z, 1 at the near plane and 0 far away.
  return {f / aspect, 0, 0, 0,   //
          0, -f, 0, 0,           //
          0, 0, 0, -1,           //
          0, 0, nearPlane, 0};
}
