#include "model/matrix_math.h"

#include <cmath>
#include <cstdint>

void MatrixMultiply(Matrix4& out, const Matrix4& a, const Matrix4& b) {
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      float sum = a[i * 4 + 0] * b[0 * 4 + j];
      sum += a[i * 4 + 1] * b[1 * 4 + j];
      sum += a[i * 4 + 2] * b[2 * 4 + j];
      sum += a[i * 4 + 3] * b[3 * 4 + j];
      out[i * 4 + j] = sum;
    }
  }
}

void MatrixInverse(Matrix4& out, float* determinant, const Matrix4& m) {
  // Cofactors from the 2 x 2 minors of the upper and lower row pairs.
  float s0 = m[0] * m[5] - m[4] * m[1];
  float s1 = m[0] * m[6] - m[4] * m[2];
  float s2 = m[0] * m[7] - m[4] * m[3];
  float s3 = m[1] * m[6] - m[5] * m[2];
  float s4 = m[1] * m[7] - m[5] * m[3];
  float s5 = m[2] * m[7] - m[6] * m[3];

  float c5 = m[10] * m[15] - m[14] * m[11];
  float c4 = m[9] * m[15] - m[13] * m[11];
  float c3 = m[9] * m[14] - m[13] * m[10];
  float c2 = m[8] * m[15] - m[12] * m[11];
  float c1 = m[8] * m[14] - m[12] * m[10];
  float c0 = m[8] * m[13] - m[12] * m[9];

  float det = s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0;
  if (determinant != nullptr) {
    for (int i = 0; i < 4; ++i) determinant[i] = det;
  }
  float inv = 1.0f / det;

  Matrix4 r;
  r[0] = (m[5] * c5 - m[6] * c4 + m[7] * c3) * inv;
  r[1] = (-m[1] * c5 + m[2] * c4 - m[3] * c3) * inv;
  r[2] = (m[13] * s5 - m[14] * s4 + m[15] * s3) * inv;
  r[3] = (-m[9] * s5 + m[10] * s4 - m[11] * s3) * inv;

  r[4] = (-m[4] * c5 + m[6] * c2 - m[7] * c1) * inv;
  r[5] = (m[0] * c5 - m[2] * c2 + m[3] * c1) * inv;
  r[6] = (-m[12] * s5 + m[14] * s2 - m[15] * s1) * inv;
  r[7] = (m[8] * s5 - m[10] * s2 + m[11] * s1) * inv;

  r[8] = (m[4] * c4 - m[5] * c2 + m[7] * c0) * inv;
  r[9] = (-m[0] * c4 + m[1] * c2 - m[3] * c0) * inv;
  r[10] = (m[12] * s4 - m[13] * s2 + m[15] * s0) * inv;
  r[11] = (-m[8] * s4 + m[9] * s2 - m[11] * s0) * inv;

  r[12] = (-m[4] * c3 + m[5] * c1 - m[6] * c0) * inv;
  r[13] = (m[0] * c3 - m[1] * c1 + m[2] * c0) * inv;
  r[14] = (-m[12] * s3 + m[13] * s1 - m[14] * s0) * inv;
  r[15] = (m[8] * s3 - m[9] * s1 + m[10] * s0) * inv;
  out = r;
}

void ScalarSinCos(float* sine, float* cosine, float x) {
  // Reduce to -pi..pi.
  float q = x * 0.15915494f;
  q = x >= 0.0f ? q + 0.5f : q - 0.5f;
  // Truncate toward zero. From 2^23 on every float is already whole (and would overflow an
  // int further up), so only smaller values need the conversion.
  if (std::fabs(q) < 8388608.0f) q = static_cast<float>(static_cast<int32_t>(q));
  x = x - q * 6.2831855f;

  // Fold into -pi/2..pi/2, where the polynomials hold; cosine changes sign there.
  float sign;
  if (x > 1.5707964f) {
    x = 3.1415927f - x;
    sign = -1.0f;
  } else if (x < -1.5707964f) {
    x = -3.1415927f - x;
    sign = -1.0f;
  } else {
    sign = 1.0f;
  }

  float y = x * x;
  *sine = x * (1.0f + y * (-0.16666667f +
                           y * (0.008333331f +
                                y * (-0.00019840874f + y * (2.7525562e-6f - y * 2.3889859e-8f)))));
  *cosine = sign * (1.0f + y * (-0.5f + y * (0.041666638f +
                                            y * (-0.0013888378f +
                                                 y * (2.4760495e-5f - y * 2.6051615e-7f)))));
}

Matrix4 TransposeMatrix(const Matrix4& m) {
  Matrix4 t;
  for (int r = 0; r < 4; ++r) {
    for (int c = 0; c < 4; ++c) t[c * 4 + r] = m[r * 4 + c];
  }
  return t;
}

void TransformRow(float out[4], const float v[4], const Matrix4& m) {
  float r[4];
  for (int j = 0; j < 4; ++j) {
    float sum = v[0] * m[0 * 4 + j];
    sum += v[1] * m[1 * 4 + j];
    sum += v[2] * m[2 * 4 + j];
    sum += v[3] * m[3 * 4 + j];
    r[j] = sum;
  }
  for (int j = 0; j < 4; ++j) out[j] = r[j];
}
