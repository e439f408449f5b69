// Small vector and matrix helpers for the content generators. Matrices are row-vector form
// (translation in the last row); the files store them transposed, as authoring tools export.
#pragma once

#include <cmath>

#include "model/matrix4.h"

namespace content {

struct Vec3 {
  float x = 0, y = 0, z = 0;
};
inline Vec3 operator+(Vec3 a, Vec3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(Vec3 a, Vec3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator*(Vec3 a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline float dot(Vec3 a, Vec3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline Vec3 cross(Vec3 a, Vec3 b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline float length(Vec3 a) { return std::sqrt(dot(a, a)); }
inline Vec3 normalize(Vec3 a) {
  float l = length(a);
  return l > 0 ? a * (1.0f / l) : a;
}

inline constexpr float kDegree = 3.14159265358979f / 180.0f;

// Rotation about x, then y, then z (angles in degrees), followed by a translation: the local
// transform of a joint in row-vector form.
inline Matrix4 rotateThenTranslate(Vec3 degrees, Vec3 t) {
  float cx = std::cos(degrees.x * kDegree), sx = std::sin(degrees.x * kDegree);
  float cy = std::cos(degrees.y * kDegree), sy = std::sin(degrees.y * kDegree);
  float cz = std::cos(degrees.z * kDegree), sz = std::sin(degrees.z * kDegree);
  // Rx * Ry * Rz for row vectors.
  float rx[9] = {1, 0, 0, 0, cx, sx, 0, -sx, cx};
  float ry[9] = {cy, 0, -sy, 0, 1, 0, sy, 0, cy};
  float rz[9] = {cz, sz, 0, -sz, cz, 0, 0, 0, 1};
  float a[9] = {}, r[9] = {};
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) a[i * 3 + j] += rx[i * 3 + k] * ry[k * 3 + j];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      for (int k = 0; k < 3; ++k) r[i * 3 + j] += a[i * 3 + k] * rz[k * 3 + j];
  return {r[0], r[1], r[2], 0, r[3], r[4], r[5], 0, r[6], r[7], r[8], 0, t.x, t.y, t.z, 1};
}

inline Matrix4 translation(Vec3 t) { return rotateThenTranslate({}, t); }

inline Matrix4 transposed(const Matrix4& m) {
  Matrix4 t{};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c) t[c * 4 + r] = m[r * 4 + c];
  return t;
}

}  // namespace content
