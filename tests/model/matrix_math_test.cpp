#include "model/matrix_math.h"

#include <gtest/gtest.h>

namespace {

void expectNear(const Matrix4& a, const Matrix4& b, float tolerance = 1e-5f) {
  for (int i = 0; i < 16; ++i) EXPECT_NEAR(a[i], b[i], tolerance) << "entry " << i;
}

TEST(ScalarSinCos, MatchesTheReferenceAngles) {
  float s, c;
  ScalarSinCos(&s, &c, 0.0f);
  EXPECT_EQ(s, 0.0f);
  EXPECT_EQ(c, 1.0f);
  ScalarSinCos(&s, &c, 3.14159f * 0.5f);
  EXPECT_NEAR(s, 1.0f, 1e-6f);
  EXPECT_NEAR(c, 0.0f, 1e-5f);
  ScalarSinCos(&s, &c, -3.14159f * 0.5f);
  EXPECT_NEAR(s, -1.0f, 1e-6f);
}

TEST(ScalarSinCos, ReducesLargeAnglesByOneTurn) {
  float s7, c7, s, c;
  ScalarSinCos(&s7, &c7, 7.0f);
  ScalarSinCos(&s, &c, 7.0f - 6.2831855f);
  EXPECT_EQ(s7, s);
  EXPECT_EQ(c7, c);
  // Beyond the fold the cosine changes sign: 3 radians lies in the second quadrant.
  ScalarSinCos(&s, &c, 3.0f);
  EXPECT_NEAR(s, 0.14112f, 1e-5f);
  EXPECT_NEAR(c, -0.98999f, 1e-5f);
  ScalarSinCos(&s, &c, -3.0f);
  EXPECT_NEAR(s, -0.14112f, 1e-5f);
  EXPECT_NEAR(c, -0.98999f, 1e-5f);
}

TEST(ScalarSinCos, HugeAnglesStayDefined) {
  float s, c;
  ScalarSinCos(&s, &c, 1e20f);
  ScalarSinCos(&s, &c, -1e20f);
  SUCCEED();  // no float-to-int overflow under the sanitizers
}

TEST(MatrixMultiply, AppliesTheLeftMatrixFirst) {
  Matrix4 scale = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1};
  Matrix4 move = kIdentityMatrix;
  move[12] = 5;
  Matrix4 out;
  MatrixMultiply(out, scale, move);
  float p[4] = {1, 1, 1, 1};
  float r[4];
  TransformRow(r, p, out);
  EXPECT_FLOAT_EQ(r[0], 7);  // scaled, then moved
  EXPECT_FLOAT_EQ(r[1], 2);
  MatrixMultiply(out, move, scale);
  TransformRow(r, p, out);
  EXPECT_FLOAT_EQ(r[0], 12);  // moved, then scaled
}

TEST(MatrixInverse, InvertsAndReportsTheDeterminantFourTimes) {
  Matrix4 m = {2, 0, 0, 0, 0, 0, 3, 0, 0, -1, 0, 0, 4, 5, 6, 1};
  Matrix4 inv;
  float det[4] = {};
  MatrixInverse(inv, det, m);
  for (float d : det) EXPECT_FLOAT_EQ(d, 6.0f);
  Matrix4 product;
  MatrixMultiply(product, m, inv);
  expectNear(product, kIdentityMatrix);
  MatrixMultiply(product, inv, m);
  expectNear(product, kIdentityMatrix);
}

TEST(TransposeMatrix, SwapsRowsAndColumns) {
  Matrix4 m;
  for (int i = 0; i < 16; ++i) m[i] = static_cast<float>(i);
  Matrix4 t = TransposeMatrix(m);
  EXPECT_EQ(t[1], 4);
  EXPECT_EQ(t[4], 1);
  EXPECT_EQ(t[12], 3);
  EXPECT_EQ(TransposeMatrix(t), m);
}

}  // namespace
