// Camera: the viewing parameters of the display view, turned twice a frame into the frame
// constants that every pass reads: the scene view behind the walking character, the follow view
// from a fixed offset, and a distant light. It builds matrices only; the character moves the
// eyes and targets. The image is plain CPU memory; the render device owns the mapped buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "model/matrix4.h"

// The frame-constant image, 1056 bytes as floats. Float offsets (byte offset / 4) of its parts;
// every matrix is stored transposed (column by column).
inline constexpr std::size_t kFrameConstantBytes = 1056;
using FrameConstantImage = std::array<float, kFrameConstantBytes / sizeof(float)>;
namespace frame_constants {
inline constexpr std::size_t kSceneWorld = 0;
inline constexpr std::size_t kSceneView = 16;
inline constexpr std::size_t kSceneProjection = 32;
inline constexpr std::size_t kFollowWorld = 48;
inline constexpr std::size_t kFollowView = 64;
inline constexpr std::size_t kFollowProjection = 80;
inline constexpr std::size_t kLightView = 96;
inline constexpr std::size_t kLightProjection = 112;
inline constexpr std::size_t kLightColors = 128;     // 16 x 4 floats
inline constexpr std::size_t kLightPositions = 192;  // 16 x 4 floats
inline constexpr std::size_t kRenderSize = 260;      // width, height, 0, 0
}  // namespace frame_constants

// Left-handed look-to matrix: z along `direction`, x = up x z, y = z x x, eye moved to the
// origin. A zero-length axis is left zero rather than divided.
Matrix4 LookToMatrix(const float eye[3], const float direction[3], const float up[3]);

// Perspective projection with vertical field of view `fieldOfView` degrees and aspect
// `aspect`: near plane 1, far plane 20000, depth 0 to 1.
Matrix4 ProjectionMatrix(float fieldOfView, float aspect);

class Camera {
 public:
  int32_t width = 1920;
  int32_t height = 1080;
  float aspect = 1920.0f / 1080.0f;
  float fieldOfView = 45.0f;
  float targetLift = 0.2f;
  float lightPosition[3] = {-1500, 1500, 1500};
  float lightStrength = 0;
  float lightTarget[3] = {};
  float followViewEye[3] = {};
  float followViewTarget[3] = {};
  float sceneViewTarget[3] = {};
  float sceneViewEye[3] = {};

  // Writes the scene view, the light view and projection, the light colours and positions and
  // the render size into `image`, then copies the whole image to `mapped` unless it is null.
  bool UpdateSceneView(FrameConstantImage& image, void* mapped) const;
  // Writes the follow view into `image`, then copies the whole image to `mapped` unless null.
  bool UpdateFollowView(FrameConstantImage& image, void* mapped) const;
};
