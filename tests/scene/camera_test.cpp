#include "scene/camera.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

namespace fc = frame_constants;

TEST(Projection, FortyFiveDegreesAndTheStoredDepthConstants) {
  Matrix4 p = ProjectionMatrix(45.0f, 2.0f);
  EXPECT_NEAR(p[5], 2.4142f, 1e-4f);
  EXPECT_NEAR(p[0], 2.4142f / 2.0f, 1e-4f);
  EXPECT_EQ(std::bit_cast<uint32_t>(p[10]), 0x3F8001A3u);
  EXPECT_EQ(std::bit_cast<uint32_t>(p[14]), 0xBF8001A3u);
  EXPECT_EQ(p[11], 1.0f);
  EXPECT_EQ(p[15], 0.0f);
}

TEST(LookTo, DirectionAlongUpGivesAZeroXAxisWithoutDividing) {
  const float eye[3] = {1, 2, 3};
  const float direction[3] = {0, 0, 5};
  const float up[3] = {0, 0, 1};
  Matrix4 m = LookToMatrix(eye, direction, up);
  for (float v : m) EXPECT_TRUE(std::isfinite(v));
  EXPECT_EQ(m[0], 0);  // x axis
  EXPECT_EQ(m[4], 0);
  EXPECT_EQ(m[8], 0);
  EXPECT_EQ(m[2], 0);  // z axis = (0, 0, 1)
  EXPECT_EQ(m[10], 1);
  EXPECT_EQ(m[14], -3);
}

TEST(Camera, FollowViewIsMirroredTransposedAndSquare) {
  Camera camera;
  camera.aspect = 3.0f;
  camera.followViewEye[1] = -10;  // looking along +y at the origin
  FrameConstantImage image{};
  std::vector<float> mapped(image.size(), -1.0f);
  EXPECT_TRUE(camera.UpdateFollowView(image, mapped.data()));
  EXPECT_EQ(std::memcmp(image.data(), mapped.data(), kFrameConstantBytes), 0);
  // Identity first.
  for (int i = 0; i < 16; ++i) EXPECT_EQ(image[fc::kFollowWorld + i], i % 5 == 0 ? 1 : 0);
  // Column by column: column r of the stored block is row r of the view.
  const float* view = image.data() + fc::kFollowView;
  // The origin lies 10 ahead: view row 3 is (0, 0, 10, 1), stored as the fourth floats.
  EXPECT_NEAR(view[3], 0, 1e-6f);
  EXPECT_NEAR(view[11], 10, 1e-6f);
  EXPECT_EQ(view[15], 1);
  // World +x maps to view +x through the mirror (the plain look-to would give -x).
  EXPECT_NEAR(view[0], 1, 1e-6f);
  // Square projection whatever the aspect.
  EXPECT_NEAR(image[fc::kFollowProjection + 0], 2.4142f, 1e-4f);
  // The scene-view part stays untouched.
  EXPECT_EQ(image[fc::kSceneView], 0);
}

TEST(Camera, SceneViewWritesLightsSizeAndScaledProjection) {
  Camera camera;
  camera.aspect = 2.0f;
  camera.lightStrength = 0.7f;
  camera.lightPosition[0] = 10000;
  camera.lightPosition[1] = 10000;
  camera.lightPosition[2] = 6000;
  camera.sceneViewEye[0] = -20;
  camera.sceneViewEye[2] = 20;
  FrameConstantImage image;
  image.fill(5.0f);
  std::vector<float> mapped(image.size());
  EXPECT_TRUE(camera.UpdateSceneView(image, mapped.data()));
  EXPECT_EQ(std::memcmp(image.data(), mapped.data(), kFrameConstantBytes), 0);
  EXPECT_NEAR(image[fc::kSceneProjection + 0], 2.4142f / 2.0f, 1e-4f);
  EXPECT_NEAR(image[fc::kLightProjection + 0], 2.4142f, 1e-4f);
  const float* colors = image.data() + fc::kLightColors;
  EXPECT_EQ(colors[0], 1);
  EXPECT_EQ(colors[3], 0.7f);
  for (int i = 4; i < 64; ++i) EXPECT_EQ(colors[i], 0) << i;
  const float* lights = image.data() + fc::kLightPositions;
  EXPECT_EQ(lights[0], 10000);
  EXPECT_EQ(lights[2], 6000);
  EXPECT_EQ(lights[3], 0);
  for (int i = 4; i < 64; ++i) EXPECT_EQ(lights[i], 0) << i;
  EXPECT_EQ(image[256], 5.0f);  // bytes 1024-1039 belong to nobody
  EXPECT_EQ(image[fc::kRenderSize + 0], 1920);
  EXPECT_EQ(image[fc::kRenderSize + 1], 1080);
  EXPECT_EQ(image[fc::kRenderSize + 2], 0);
  EXPECT_EQ(image[fc::kFollowView], 5.0f);  // the follow view is the other step's
  // The target is lifted by 0.2: the view's z axis (third stored column) points to (0, 0, 0.2).
  EXPECT_NEAR(image[fc::kSceneView + 10], -19.8f / std::sqrt(400.0f + 19.8f * 19.8f), 1e-5f);
  // A null mapped buffer (no device) is fine.
  EXPECT_TRUE(camera.UpdateSceneView(image, nullptr));
}

}  // namespace
