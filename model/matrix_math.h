// The matrix and angle routines shared by the pose, the camera and the colliders. Matrices are
// Matrix4 (row vectors, translation in the last row). Everything is single precision and must
// stay bit-for-bit stable: build with floating-point contraction off.
#pragma once

#include "model/matrix4.h"

// out = a * b (a applied first). `out` must be distinct from `a` and `b`.
void MatrixMultiply(Matrix4& out, const Matrix4& a, const Matrix4& b);

// out = inverse of m by cofactors. When `determinant` is given, the determinant is stored into
// all four of its floats. A singular matrix is not detected: the result is then not finite.
void MatrixInverse(Matrix4& out, float* determinant, const Matrix4& m);

// Sine and cosine of `x` radians by range reduction to -pi..pi and two polynomials; exact to
// about float precision and identical on every machine.
void ScalarSinCos(float* sine, float* cosine, float x);

// Degrees to radians with the constant 3.14159, as everything in the system converts them.
inline float DegreesToRadians(float degrees) { return degrees / 360.0f * 2.0f * 3.14159f; }

// The transpose of m (rows become columns); file matrices and constant buffers use it.
Matrix4 TransposeMatrix(const Matrix4& m);

// (x, y, z, w) * m as a row vector.
void TransformRow(float out[4], const float v[4], const Matrix4& m);
